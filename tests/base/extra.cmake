# The list tests count the sort's calls of SwitchProcess (a C++ symbol, so
# its mangled name) through the linker.
target_link_options(${_name} PRIVATE -Wl,--wrap=_Z13SwitchProcessh)
