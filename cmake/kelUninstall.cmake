# Removes what `cmake --install` put in place, as listed in the build's
# install_manifest.txt (cmake --build <build> --target uninstall, as root).
# Directories are removed when they are left empty and are the project's own
# (a path holding /kelvlx, or one below an opt directory, such as the crypto
# library's);
# the group of the agent's callers is kept, with a word on how to remove it.
#
# Set by the uninstall target: MANIFEST, GROUP.

if(NOT EXISTS "${MANIFEST}")
  message(FATAL_ERROR "kelvlx: ${MANIFEST} does not exist: nothing was installed from this build")
endif()
file(STRINGS "${MANIFEST}" files)
set(dirs)
foreach(f ${files})
  if(IS_SYMLINK "${f}" OR EXISTS "${f}")
    file(REMOVE "${f}")
    message(STATUS "removed ${f}")
  endif()
  get_filename_component(d "${f}" DIRECTORY)
  list(APPEND dirs "${d}")
endforeach()

function(kel_prune dir)
  while(IS_DIRECTORY "${dir}" AND dir MATCHES "/kelvlx(/|$)|/opt/[^/]+")
    file(GLOB left "${dir}/*" "${dir}/.*")
    if(left)
      break()
    endif()
    execute_process(COMMAND rmdir "${dir}" RESULT_VARIABLE rc ERROR_QUIET)
    if(NOT rc EQUAL 0)
      break()
    endif()
    message(STATUS "removed ${dir}/")
    get_filename_component(dir "${dir}" DIRECTORY)
  endwhile()
endfunction()

list(REMOVE_DUPLICATES dirs)
foreach(d ${dirs})
  kel_prune("${d}")
endforeach()
message(STATUS "kelvlx: the group ${GROUP} was kept; remove it with 'groupdel ${GROUP}' when nothing else uses it")
