# Runs at install time, after kelvlx has been copied (mode 0750). Only a live
# install (KEL_LIVE_INSTALL) goes on: it makes the agent root's and the agent
# group's, mode 4750, so that root and the members of the group can start it
# and nobody else. Whoever can start the agent holds every node's credentials.
# Any other install leaves the machine as it was: no group, no owner change.
#
# Set by the install rule: KEL_AGENT_GROUP_DEFAULT, KEL_AGENT_DEST (directory
# of the agent, relative to the prefix or absolute) and KEL_AGENT_NAME; by
# the first install rule: KEL_TRUSTED_DIRS (directories the agent reads,
# below the prefix or absolute).
# A packager may override the group: cmake -DKEL_AGENT_GROUP=... -P cmake_install.cmake

if(NOT DEFINED KEL_AGENT_GROUP OR KEL_AGENT_GROUP STREQUAL "")
  set(KEL_AGENT_GROUP "${KEL_AGENT_GROUP_DEFAULT}")
endif()
if(NOT KEL_AGENT_GROUP MATCHES "^[a-z_][a-z0-9_-]*$")
  message(FATAL_ERROR "kelvlx: '${KEL_AGENT_GROUP}' is not a group name")
endif()

include("${CMAKE_CURRENT_LIST_DIR}/kelTrust.cmake")

function(kel_run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "kelvlx: '${ARGN}' failed: ${err}")
  endif()
endfunction()

kel_installed_path(agentDir "${KEL_AGENT_DEST}")
set(agent "${agentDir}/${KEL_AGENT_NAME}")

if(NOT KEL_LIVE_INSTALL)
  message(STATUS "kelvlx: ${agent} is installed mode 0750 without the set-user-id bit and no group was made; "
                 "a live install (scripts/install.sh) gives it root:${KEL_AGENT_GROUP} and mode 4750")
  return()
endif()

# Checked again now that the directories exist, before the agent becomes
# set-user-id: a set-user-id run reads a catalog or loads a library only when
# every directory above it is root's and writable by nobody else (or sticky).
kel_check_trusted_dirs("${KEL_TRUSTED_DIRS}")

execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT uid STREQUAL "0")
  message(WARNING "kelvlx: not installing as root, so ${agent} is left mode 0750 and without the set-user-id "
                  "bit; as root run: chown root:${KEL_AGENT_GROUP} ${agent} && chmod 4750 ${agent}")
  return()
endif()

execute_process(COMMAND getent group "${KEL_AGENT_GROUP}" RESULT_VARIABLE missing OUTPUT_QUIET ERROR_QUIET)
if(NOT missing EQUAL 0)
  if(NOT "$ENV{DESTDIR}" STREQUAL "")
    # A staged install must not add groups to the machine it is built on.
    kel_run(chown root:root "${agent}")
    kel_run(chmod 0750 "${agent}")
    message(WARNING "kelvlx: group ${KEL_AGENT_GROUP} does not exist here; ${agent} is staged root:root 0750. "
                    "The package must create the group and then run: chown root:${KEL_AGENT_GROUP} <agent> && "
                    "chmod 4750 <agent>")
    return()
  endif()
  kel_run(groupadd --system "${KEL_AGENT_GROUP}")
  message(STATUS "kelvlx: created the system group ${KEL_AGENT_GROUP}")
endif()

# chown first: it clears the set-user-id bit, and the bit goes only on a file root owns.
kel_run(chown "root:${KEL_AGENT_GROUP}" "${agent}")
kel_run(chmod 4750 "${agent}")
message(STATUS "kelvlx: ${agent} is root:${KEL_AGENT_GROUP} mode 4750: only root and members of "
               "${KEL_AGENT_GROUP} may start it, and they hold every node's credentials")
