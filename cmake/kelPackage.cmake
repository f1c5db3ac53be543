# The Debian package: `cpack -G DEB` in a tree configured with the prefix /usr
# (scripts/package.sh does both). Its postinst creates the group of the
# agent's callers when missing and registers the agent root:<group> 4750 with
# dpkg-statoverride, as Debian does for set-user-id helpers; purging removes
# the override, the group it made and the password directory.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kelvlx)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "kelvlx maintainers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "password agent of the backup client")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "password agent of the backup client
kelvlx is a small set-user-id-root helper: unprivileged backup client
programs start it to use the root-only password file ZAR.PWD on their
behalf. Only root and the members of the group ${KEL_AGENT_GROUP} may start it.

The package holds the agent, its message catalogs and crypto library, the
administrator's tool keladm, the command-line caller kelcall, and the
caller's library libkelvlx-client with its header, pkg-config file and
CMake package.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "passwd")   # groupadd, groupdel
# Absolute destinations (the crypto library's) go below the staging directory too.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(_deb ${CMAKE_BINARY_DIR}/deb)
foreach(script postinst postrm)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/deb/${script}.in ${_deb}/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/deb/triggers ${_deb}/triggers COPYONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${_deb}/postinst ${_deb}/postrm ${_deb}/triggers)

# In the package the agent is root:root 0750, whatever groups the building
# machine has: where it is installed, the postinst gives it its group and
# mode 4750 through dpkg-statoverride.
install(CODE "if(\"\$ENV{DESTDIR}\" MATCHES \"/_CPack_Packages/\")
  file(CHMOD \"\$ENV{DESTDIR}${KEL_AGENT_INSTALLED}\"
       PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)
endif()")

include(CPack)
