target_link_libraries(${_name} PRIVATE kelclient)
add_dependencies(${_name} kelvlx oxllib catalogs)
