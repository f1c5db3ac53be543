# The library under test is loaded at run time from the build tree.
add_dependencies(${_name} oxllib)
