target_link_libraries(${_name} PRIVATE kelpwfscan kelclient)
add_dependencies(${_name} keladm kelcall kelvlx)
target_compile_definitions(${_name} PRIVATE
  "KEL_VERSION=\"${PROJECT_VERSION}\"" "KEL_PASSWORD_DIR=\"${KEL_PASSWORD_DIR}\"")
