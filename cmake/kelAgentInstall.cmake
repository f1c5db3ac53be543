# Runs at install time, after kelvlx has been copied (mode 0750): makes it
# root's and the agent group's, mode 4750, so that root and the members of
# the group can start it and nobody else. Whoever can start the agent holds
# every node's credentials.
#
# Set by the install rule: KEL_AGENT_GROUP_DEFAULT, KEL_AGENT_DEST (directory
# of the agent, relative to the prefix or absolute), KEL_AGENT_NAME and
# KEL_TRUSTED_DIRS (directories the agent reads below the prefix or absolute).
# A packager may override the group: cmake -DKEL_AGENT_GROUP=... -P cmake_install.cmake

if(NOT DEFINED KEL_AGENT_GROUP OR KEL_AGENT_GROUP STREQUAL "")
  set(KEL_AGENT_GROUP "${KEL_AGENT_GROUP_DEFAULT}")
endif()
if(NOT KEL_AGENT_GROUP MATCHES "^[a-z_][a-z0-9_-]*$")
  message(FATAL_ERROR "kelvlx: '${KEL_AGENT_GROUP}' is not a group name")
endif()

function(kel_installed_path out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "$ENV{DESTDIR}${dir}" PARENT_SCOPE)
  else()
    set(${out} "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

function(kel_run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "kelvlx: '${ARGN}' failed: ${err}")
  endif()
endfunction()

# A set-user-id run reads a catalog or loads a library only when every
# directory above it is root's and writable by nobody else (or sticky): say so
# now rather than have the agent end with 610 later.
function(kel_check_chain path)
  set(dir "${path}")
  while(NOT dir STREQUAL "/" AND NOT dir STREQUAL "")
    if(EXISTS "${dir}")
      execute_process(COMMAND stat -L -c "%u %a" "${dir}" OUTPUT_VARIABLE st OUTPUT_STRIP_TRAILING_WHITESPACE)
      if(st MATCHES "^([0-9]+) ([0-7]+)$")
        set(owner "${CMAKE_MATCH_1}")
        set(mode "${CMAKE_MATCH_2}")
        string(LENGTH "${mode}" n)
        math(EXPR last "${n} - 1")
        math(EXPR mid "${n} - 2")
        string(SUBSTRING "${mode}" ${last} 1 other)
        string(SUBSTRING "${mode}" ${mid} 1 group)
        set(sticky FALSE)
        if(n EQUAL 4 AND mode MATCHES "^[1357]")
          set(sticky TRUE)
        endif()
        if(NOT owner STREQUAL "0" OR ((other MATCHES "[2367]" OR group MATCHES "[2367]") AND NOT sticky))
          message(WARNING "kelvlx: ${dir} (owner ${owner}, mode ${mode}) can be changed by others than root: "
                          "a set-user-id run will not read what lies below it")
        endif()
      endif()
    endif()
    get_filename_component(dir "${dir}" DIRECTORY)
  endwhile()
endfunction()

kel_installed_path(agentDir "${KEL_AGENT_DEST}")
set(agent "${agentDir}/${KEL_AGENT_NAME}")

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

foreach(d ${KEL_TRUSTED_DIRS})
  kel_installed_path(full "${d}")
  kel_check_chain("${full}")
endforeach()
