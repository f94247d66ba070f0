# Runs inside cpack (CPACK_PRE_BUILD_SCRIPTS) on the staged packages, one folder per
# component, before they are packed: the unit and the manual pages go where Debian keeps
# them, /usr/bin gets velweb and velctl as links into the program directory (both find
# their directory through the link, so they run from there as if started in it), and
# each package gets its copyright, changelog and lintian override. Every file made here
# is given its mode, whatever the mode of the source tree's copy.
set(stage "${CPACK_TEMPORARY_DIRECTORY}")
set(file_mode OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

function(lay_out component package tool)
  set(root "${stage}/${component}")
  set(program "${root}${CPACK_VELWEB_PACKAGE_DIR}")
  if(EXISTS "${program}/velweb.service")
    file(MAKE_DIRECTORY "${root}/lib/systemd/system")
    file(RENAME "${program}/velweb.service" "${root}/lib/systemd/system/velweb.service")
  endif()

  file(MAKE_DIRECTORY "${root}/usr/share/man/man1")
  file(GLOB pages RELATIVE "${program}/share/man/man1" "${program}/share/man/man1/*.1")
  foreach(page IN LISTS pages)
    file(RENAME "${program}/share/man/man1/${page}" "${root}/usr/share/man/man1/${page}")
    execute_process(COMMAND gzip -9n "${root}/usr/share/man/man1/${page}" RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "gzip ${page} failed")
    endif()
  endforeach()
  file(REMOVE_RECURSE "${program}/share")

  # What Debian asks of every package: its copyright and changelog, and here the reason
  # why the program directory lies in /opt (lintian's override).
  set(doc "${root}/usr/share/doc/${package}")
  file(MAKE_DIRECTORY "${doc}" "${root}/usr/share/lintian/overrides")
  file(COPY_FILE "${CPACK_VELWEB_DEBIAN_DIR}/copyright" "${doc}/copyright")
  file(COPY_FILE "${CPACK_VELWEB_DEBIAN_DIR}/changelog" "${doc}/changelog")
  file(READ "${CPACK_VELWEB_DEBIAN_DIR}/lintian-overrides" override)
  string(REPLACE "velweb: " "${package}: " override "${override}")
  file(WRITE "${root}/usr/share/lintian/overrides/${package}" "${override}")
  execute_process(COMMAND gzip -9n "${doc}/changelog" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip changelog failed")
  endif()

  file(MAKE_DIRECTORY "${root}/usr/bin")
  file(CREATE_LINK "${CPACK_VELWEB_PACKAGE_DIR}/${tool}" "${root}/usr/bin/${tool}" SYMBOLIC)

  # Modes of our own: 0755 for directories and programs, 0644 for every other file (the
  # library too: it is loaded, not run).
  file(GLOB_RECURSE files LIST_DIRECTORIES true "${root}/*")
  foreach(path IN LISTS files)
    if(IS_SYMLINK "${path}")
      continue()
    elseif(IS_DIRECTORY "${path}" OR path STREQUAL "${program}/velweb" OR
           path STREQUAL "${program}/velctl")
      file(CHMOD "${path}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
           GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    else()
      file(CHMOD "${path}" PERMISSIONS ${file_mode})
    endif()
  endforeach()
endfunction()

lay_out(velweb velweb velweb)
lay_out(velmar velmar-exchange velctl)
