# The rule a set-user-id run of the agent applies to its catalogs and its
# crypto library (docs/security.md), for the install to apply beforehand:
# every directory on the way must be root's and writable by nobody else, or
# sticky. Included by the install scripts, run with cmake -P.
cmake_policy(VERSION 3.20)

# The directory dir will have once installed (relative to the prefix or absolute).
function(kel_installed_path out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "$ENV{DESTDIR}${dir}" PARENT_SCOPE)
  else()
    set(${out} "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

# The first existing directory on the way from path up to "/" (links
# resolved, as the agent resolves them) that others than root could change,
# with its owner and mode; empty when there is none.
function(kel_untrusted_dir out path)
  set(${out} "" PARENT_SCOPE)
  get_filename_component(dir "${path}" REALPATH)
  while(NOT dir STREQUAL "")
    if(IS_DIRECTORY "${dir}")
      execute_process(COMMAND stat -c "%u %f %a" "${dir}" OUTPUT_VARIABLE st OUTPUT_STRIP_TRAILING_WHITESPACE
                      RESULT_VARIABLE rc)
      if(NOT rc EQUAL 0 OR NOT st MATCHES "^([0-9]+) ([0-9a-f]+) ([0-7]+)$")
        set(${out} "${dir} (cannot be examined)" PARENT_SCOPE)
        return()
      endif()
      set(owner "${CMAKE_MATCH_1}")
      set(octal "${CMAKE_MATCH_3}")
      math(EXPR othersWrite "0x${CMAKE_MATCH_2} & 0x12")   # 022: group or others may write
      math(EXPR sticky "0x${CMAKE_MATCH_2} & 0x200")       # 01000
      if(NOT owner STREQUAL "0" OR (NOT othersWrite EQUAL 0 AND sticky EQUAL 0))
        set(${out} "${dir} (owner ${owner}, mode ${octal})" PARENT_SCOPE)
        return()
      endif()
    endif()
    if(dir STREQUAL "/")
      break()
    endif()
    get_filename_component(dir "${dir}" DIRECTORY)
  endwhile()
endfunction()

# Checks each of dirs (relative to the prefix or absolute). A live install
# by root, which makes the agent set-user-id, stops at the first directory a
# set-user-id run would not trust; a live install by another user only warns.
# Any other install (a prefix or DESTDIR of one's own, a package's) leaves
# the agent without the bit, and the check to the install that sets it.
function(kel_check_trusted_dirs dirs)
  if(NOT KEL_LIVE_INSTALL OR NOT "$ENV{DESTDIR}" STREQUAL "")
    return()
  endif()
  execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
  foreach(d ${dirs})
    kel_installed_path(full "${d}")
    kel_untrusted_dir(bad "${full}")
    if(bad STREQUAL "")
      continue()
    endif()
    set(text "kelvlx: ${bad} can be changed by others than root, so a set-user-id run of the agent would not "
             "use what is installed in ${full}. Make every directory on the way root's and not writable by "
             "group or others (or sticky), or install somewhere else")
    if(uid STREQUAL "0")
      message(FATAL_ERROR ${text})
    endif()
    message(WARNING ${text})
  endforeach()
endfunction()
