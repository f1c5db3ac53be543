# The Debian packages: `cpack -G DEB` in a tree configured with the prefix /usr
# (scripts/package.sh does both). Three, laid out as Debian ships a library:
# kelvlx (the agent, the tools, catalogs, crypto library, man pages),
# libkelvlx-client1 (the shared library, with shlibs and symbols) and
# libkelvlx-client-dev (header, .so link, static library, pkg-config file,
# CMake package). kelvlx's postinst creates the group of the agent's callers
# when missing and registers the agent root:<group> 4750 with
# dpkg-statoverride, as Debian does for set-user-id helpers; purging removes
# the override and the password directory, and keeps the group.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kelvlx)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# The Debian revision of cmake/deb/changelog's top entry.
set(KEL_DEB_REVISION 1 CACHE STRING "Debian revision of the packages")
set(CPACK_DEBIAN_PACKAGE_RELEASE ${KEL_DEB_REVISION})
set(_debVersion ${PROJECT_VERSION}-${KEL_DEB_REVISION})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL agent lib dev)
# The packager puts their own address here (scripts/package.sh passes
# KEL_DEB_MAINTAINER from the environment).
set(KEL_DEB_MAINTAINER "kelvlx maintainers <kelvlx@kelvlx.invalid>" CACHE STRING
    "Maintainer field of the Debian packages")
set(CPACK_PACKAGE_CONTACT "${KEL_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KEL_DEB_MAINTAINER}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Absolute destinations (the crypto library's) go below the staging directory too.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_AGENT_PACKAGE_NAME kelvlx)
set(CPACK_DEBIAN_AGENT_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_AGENT_PACKAGE_DEPENDS "passwd")   # groupadd
set(CPACK_COMPONENT_AGENT_DESCRIPTION "password agent of the backup client
kelvlx is a small set-user-id-root helper: unprivileged backup client
programs start it to use the root-only password file ZAR.PWD on their
behalf. Only root and the members of the group ${KEL_AGENT_GROUP} may start it.
.
The package holds the agent, its message catalogs and crypto library, the
administrator's tool keladm and the command-line caller kelcall.")

# The library carries the agent's build stamp and the agent refuses any other,
# so it needs the agent of its own build: the exact version.
set(CPACK_DEBIAN_LIB_PACKAGE_NAME libkelvlx-client1)
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIB_PACKAGE_DEPENDS "kelvlx (= ${_debVersion})")
set(CPACK_COMPONENT_LIB_DESCRIPTION "caller's library of the kelvlx password agent
Backup client programs link libkelvlx-client to start the set-user-id agent
kelvlx and exchange requests with it over its pipes, instead of reading the
root-only password file themselves.
.
This package holds the shared library.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libkelvlx-client-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libkelvlx-client1 (= ${_debVersion})")
set(CPACK_DEBIAN_DEV_PACKAGE_SHLIBDEPS OFF)
set(CPACK_COMPONENT_DEV_DESCRIPTION "development files of the kelvlx caller's library
Backup client programs link libkelvlx-client to start the set-user-id agent
kelvlx and exchange requests with it over its pipes.
.
This package holds the header, the static library, the link to the shared
one, the pkg-config file kelvlx-client.pc and the CMake package kelvlx.")

set(_deb ${CMAKE_BINARY_DIR}/deb)
# The copyright file and the changelog every Debian package carries; the
# changelog is compressed with -n so that rebuilds give the same bytes.
file(MAKE_DIRECTORY ${_deb})
execute_process(COMMAND gzip -9nc ${CMAKE_CURRENT_LIST_DIR}/deb/changelog
                OUTPUT_FILE ${_deb}/changelog.Debian.gz RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "gzip of the Debian changelog failed")
endif()
# Only the packages carry them (scripts/package.sh sets KEL_DEB_FILES): a
# plain install has no package of these names to document.
option(KEL_DEB_FILES "Install the Debian packages' copyright, changelog and lintian overrides" OFF)
foreach(_c agent:kelvlx lib:libkelvlx-client1 dev:libkelvlx-client-dev)
  string(REPLACE ":" ";" _c ${_c})
  list(GET _c 0 _comp)
  list(GET _c 1 _pkg)
  if(KEL_DEB_FILES)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/deb/copyright ${_deb}/changelog.Debian.gz
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${_pkg} COMPONENT ${_comp})
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/deb/lintian-overrides.${_pkg}
            DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${_pkg} COMPONENT ${_comp})
  endif()
endforeach()

# Debug information stays out of the static library (CPack strips only the
# executables and shared objects); the archive keeps its symbols.
install(CODE "if(\"\$ENV{DESTDIR}\" MATCHES \"/_CPack_Packages/\")
  execute_process(COMMAND strip --strip-debug --enable-deterministic-archives
    \"\$ENV{DESTDIR}${CMAKE_INSTALL_FULL_LIBDIR}/libkelvlx-client.a\" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR \"strip of libkelvlx-client.a failed\")
  endif()
endif()" COMPONENT dev)

foreach(script postinst postrm)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/deb/${script}.in ${_deb}/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/deb/triggers ${_deb}/triggers COPYONLY)
set(CPACK_DEBIAN_AGENT_PACKAGE_CONTROL_EXTRA ${_deb}/postinst ${_deb}/postrm)
# The shlibs and symbols files are made from the built library by
# scripts/package.sh (CPack's own shlibs would add ldconfig calls that the
# trigger already makes).
file(MAKE_DIRECTORY ${_deb}/lib)
foreach(script postinst postrm)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/deb/lib-maintscript ${_deb}/lib/${script} COPYONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
endforeach()
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${_deb}/triggers ${_deb}/shlibs ${_deb}/symbols
    ${_deb}/lib/postinst ${_deb}/lib/postrm)


# In the package the agent is root:root 0750, whatever groups the building
# machine has: where it is installed, the postinst gives it its group and
# mode 4750 through dpkg-statoverride.
install(CODE "if(\"\$ENV{DESTDIR}\" MATCHES \"/_CPack_Packages/\")
  file(CHMOD \"\$ENV{DESTDIR}${KEL_AGENT_INSTALLED}\"
       PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)
endif()")

include(CPack)
