# Two stand-in crypto libraries laid out as the loader expects them:
#   fixtures/oxl-fake/oxl/oxllib/liboxllib.so     every entry point
#   fixtures/oxl-missing/oxl/oxllib/liboxllib.so  METAC_RAND_bytes hidden
foreach(kind fake missing)
  set(_lib fakeoxl_${kind})
  add_library(${_lib} SHARED ${CMAKE_CURRENT_SOURCE_DIR}/crypto/fakeoxl.cpp
                             ${CMAKE_CURRENT_SOURCE_DIR}/crypto/fakeoxlall.cpp)
  set_target_properties(${_lib} PROPERTIES OUTPUT_NAME oxllib
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/fixtures/oxl-${kind}/oxl/oxllib
    CXX_VISIBILITY_PRESET hidden)
  target_include_directories(${_lib} PRIVATE ${CMAKE_SOURCE_DIR})
  add_dependencies(${_name} ${_lib})
endforeach()
target_link_options(fakeoxl_missing PRIVATE
  -Wl,--version-script=${CMAKE_CURRENT_SOURCE_DIR}/crypto/missing.map)
add_dependencies(${_name} oxllib)
target_compile_definitions(${_name} PRIVATE "KEL_FIXTURE_DIR=\"${CMAKE_BINARY_DIR}/tests/fixtures\"")

# The AES cipher's tests load the library and the incomplete stand-in too, and
# its status log speaks through the catalog.
if(TARGET catalogs)
  add_dependencies(${_name} catalogs)
endif()
