target_link_libraries(${_name} PRIVATE kelpwfscan kelclient)
add_dependencies(${_name} keladm kelcall kelvlx)
