target_link_libraries(${_name} PRIVATE kelpwfscan kelclient)
add_dependencies(${_name} keladm kelcall kelvlx)
target_compile_definitions(${_name} PRIVATE
  "KEL_VERSION=\"${PROJECT_VERSION}\"" "KEL_PASSWORD_DIR=\"${KEL_PASSWORD_DIR}\""
  $<$<BOOL:${KEL_SANITIZE}>:KEL_SANITIZE_BUILD> "KEL_SANDBOX_BUILT=$<BOOL:${KEL_SANDBOX}>")
# A stand-in agent for outcomes the real one cannot be made to show at will.
add_dependencies(${_name} kc_fake_agent)
target_compile_definitions(${_name} PRIVATE "KC_FAKE_AGENT=\"$<TARGET_FILE:kc_fake_agent>\"")
