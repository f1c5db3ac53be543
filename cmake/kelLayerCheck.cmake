# A call that runs up the layers fails the build: each layer's library, both
# variants, is linked whole into a shared object that may take its symbols only
# from the layers below it and the system libraries (--no-undefined). A
# reference to a routine of a higher layer is then an undefined symbol. The
# objects are not used for anything else. (clang leaves the sanitizer runtime
# out of shared objects, so its sanitizer and fuzzing builds skip the check;
# so does a CMake older than 3.24, which cannot link an archive whole.)
if(CMAKE_VERSION VERSION_LESS 3.24)
  message(STATUS "CMake ${CMAKE_VERSION}: the layers' link check needs 3.24 and is skipped")
elseif(NOT KEL_FUZZ AND NOT (KEL_SANITIZE AND CMAKE_CXX_COMPILER_ID MATCHES "Clang"))
  set(_checkSource ${CMAKE_BINARY_DIR}/generated/kel_layer_check.cpp)
  file(CONFIGURE OUTPUT ${_checkSource} CONTENT "// Empty: the layer archive, linked whole, is the content.\n")
  foreach(_layer ${KEL_LAYERS})
    foreach(_lib kel_${_layer} kel_${_layer}_hooks)
      add_library(${_lib}_check SHARED ${_checkSource})
      target_link_libraries(${_lib}_check PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,${_lib}>")
      target_link_options(${_lib}_check PRIVATE -Wl,--no-undefined)
      set_target_properties(${_lib}_check PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/layercheck)
    endforeach()
  endforeach()
endif()
