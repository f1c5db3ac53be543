# The attacks install the build (cmake_install.cmake) into a temporary root and
# run the set-user-id agent from there, so everything installed must be built.
add_dependencies(${_name} kelvlx keladm kelcall oxllib catalogs)

# A library planted where a crypto library might be searched for.
add_library(kelplanted SHARED ${CMAKE_CURRENT_SOURCE_DIR}/attack/planted.cpp)
set_target_properties(kelplanted PROPERTIES OUTPUT_NAME oxllib
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/attack/planted)
target_link_libraries(kelplanted PRIVATE ${CMAKE_DL_LIBS})
# Prints what the environment helpers make of a set-user-id run's environment.
add_executable(kelenvprobe ${CMAKE_CURRENT_SOURCE_DIR}/attack/envprobe.cpp)
target_link_libraries(kelenvprobe PRIVATE kelcore_hooks)
add_dependencies(${_name} kelplanted kelenvprobe)
# An allocator wrapper a root caller preloads: a call the filter does not
# foresee on every allocation.
add_library(kelunforeseen SHARED ${CMAKE_CURRENT_SOURCE_DIR}/attack/unforeseen.cpp)
target_link_libraries(kelunforeseen PRIVATE ${CMAKE_DL_LIBS})
add_dependencies(${_name} kelunforeseen)

target_compile_definitions(${_name} PRIVATE
  "KEL_CMAKE_COMMAND=\"${CMAKE_COMMAND}\""
  "KEL_PLANTED_LIB=\"$<TARGET_FILE:kelplanted>\""
  "KEL_PROBE_PATH=\"$<TARGET_FILE:kelenvprobe>\""
  "KEL_UNFORESEEN_LIB=\"$<TARGET_FILE:kelunforeseen>\""
  "KEL_OXL_INSTALLED=\"${KEL_OXL_DIR}/oxl/oxllib/liboxllib.so\""
  "KEL_AGENT_SANITIZED=$<BOOL:${KEL_AGENT_SANITIZED}>")
# The agent built from the hooked core: it tries a forbidden call after its
# system-call filter is loaded. Never installed.
add_executable(kelvlx_probe ${CMAKE_SOURCE_DIR}/agent/vlxsess.cpp)
target_link_libraries(kelvlx_probe PRIVATE kelcore_hooks)
add_dependencies(${_name} kelvlx_probe)
target_compile_definitions(${_name} PRIVATE
  "KEL_SANDBOX_PROBE_AGENT=\"$<TARGET_FILE:kelvlx_probe>\"" "KEL_SANDBOX_BUILT=$<BOOL:${KEL_SANDBOX}>")
