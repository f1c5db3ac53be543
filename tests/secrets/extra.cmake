# The agent runs through the caller's library; AES comes from this tree's crypto library.
target_link_libraries(${_name} PRIVATE kelclient)
add_dependencies(${_name} kelvlx catalogs oxllib)
# Every symbol is bound at start: the lazy binder saves the vector registers on
# the stack of the first call of a function, and with them whatever password
# bytes they held, which the stack scans would find.
target_link_options(${_name} PRIVATE -Wl,-z,now)
