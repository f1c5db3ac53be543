target_link_libraries(${_name} PRIVATE kelclient)
add_executable(kc_fake_agent ${CMAKE_CURRENT_SOURCE_DIR}/client/fake_agent.cpp)
add_dependencies(${_name} kc_fake_agent kelvlx)
target_compile_definitions(${_name} PRIVATE "KC_FAKE_AGENT=\"$<TARGET_FILE:kc_fake_agent>\"")
