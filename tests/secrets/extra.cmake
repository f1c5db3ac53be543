# The agent runs through the caller's library; AES comes from this tree's crypto library.
target_link_libraries(${_name} PRIVATE kelclient)
add_dependencies(${_name} kelvlx catalogs oxllib)
