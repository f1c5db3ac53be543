# The end-to-end tests run the built agent; the request tests speak to it
# through the caller's library, AES from this tree's crypto library.
target_link_libraries(${_name} PRIVATE kelclient)
add_dependencies(${_name} kelvlx oxllib catalogs)
