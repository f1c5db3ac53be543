# The install as a caller and an administrator meet it. The test of the Debian
# package itself installs on this machine: it runs only with KEL_PACKAGE_TEST
# set, which scripts/test.sh does last, after every other test.
add_dependencies(${_name} kelvlx catalogs oxllib keladm kelcall kelvlx_client kelvlx_client_static kcmanpages)
target_compile_definitions(${_name} PRIVATE
  "KEL_VERSION=\"${PROJECT_VERSION}\"" "KEL_PASSWORD_DIR=\"${KEL_PASSWORD_DIR}\"" "KEL_AGENT_DEST=\"${KEL_AGENT_DEST}\""
  "KEL_INSTALL_PREFIX=\"${CMAKE_INSTALL_PREFIX}\"" "KEL_INSTALL_LIBDIR=\"${CMAKE_INSTALL_LIBDIR}\""
  $<$<BOOL:${KEL_SANITIZE}>:KEL_SANITIZE_BUILD>)
