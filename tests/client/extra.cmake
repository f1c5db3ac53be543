target_link_libraries(${_name} PRIVATE kelclient)
add_executable(kc_fake_agent ${CMAKE_CURRENT_SOURCE_DIR}/client/fake_agent.cpp)
add_dependencies(${_name} kc_fake_agent kelvlx)
target_compile_definitions(${_name} PRIVATE "KC_FAKE_AGENT=\"$<TARGET_FILE:kc_fake_agent>\"")
# The C boundary: the shared library's exports, and a C99 caller built against
# it alone (strict C, no C++ runtime in its link line).
add_executable(kc_c_caller ${CMAKE_CURRENT_SOURCE_DIR}/client/kc_c_caller.c)
set_target_properties(kc_c_caller PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF
  LINKER_LANGUAGE C)
target_compile_options(kc_c_caller PRIVATE -Wall -Wextra -pedantic)
target_link_libraries(kc_c_caller PRIVATE kelvlx_client)
add_dependencies(${_name} kelvlx_client kc_c_caller)
target_compile_definitions(${_name} PRIVATE "KC_SHARED_LIB=\"$<TARGET_FILE:kelvlx_client>\""
  "KC_C_CALLER=\"$<TARGET_FILE:kc_c_caller>\"")
# The child-handling tests again through the helper, as kernels without
# pidfds start the agent (the library reads KELVLX_CLIENT_START).
add_test(NAME ${_name}.helper_start
  COMMAND ${_name} --gtest_filter=KcSigchld.*:KcThreads.*:KcAgent.*:KcGenerate.*)
set_tests_properties(${_name}.helper_start PROPERTIES ENVIRONMENT KELVLX_CLIENT_START=helper TIMEOUT 600)
