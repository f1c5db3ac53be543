# The message tests read the catalogs of the build and compile fixture catalogs
# with the project's message compiler.
add_dependencies(${_name} catalogs kelmsgc)
target_compile_definitions(${_name} PRIVATE "KEL_MSGC=\"$<TARGET_FILE:kelmsgc>\"")
