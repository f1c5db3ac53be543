# The end-to-end tests run the built agent.
add_dependencies(${_name} kelvlx)
