# The fuzz harnesses are the files fuzz/<name>_fuzz.cpp; their names, sorted,
# go to the variable named by out. The scripts take the list the same way.
function(kel_fuzz_harnesses out)
  file(GLOB _files CONFIGURE_DEPENDS RELATIVE ${CMAKE_SOURCE_DIR}/fuzz ${CMAKE_SOURCE_DIR}/fuzz/*_fuzz.cpp)
  list(TRANSFORM _files REPLACE "_fuzz\\.cpp$" "")
  list(SORT _files)
  set(${out} ${_files} PARENT_SCOPE)
endfunction()
