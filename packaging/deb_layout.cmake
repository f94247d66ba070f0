# Runs inside cpack (CPACK_PRE_BUILD_SCRIPTS) on the staged package, before it is packed:
# the unit and the manual pages go where Debian keeps them, and /usr/bin gets velweb and
# velctl as links into the program directory (both find their directory through the
# link, so they run from there as if started in it).
set(root "${CPACK_TEMPORARY_DIRECTORY}")
set(program "${root}${CPACK_VELWEB_PACKAGE_DIR}")

file(MAKE_DIRECTORY "${root}/lib/systemd/system")
file(RENAME "${program}/velweb.service" "${root}/lib/systemd/system/velweb.service")

file(MAKE_DIRECTORY "${root}/usr/share/man/man1")
foreach(page velweb.1 velctl.1)
  file(RENAME "${program}/share/man/man1/${page}" "${root}/usr/share/man/man1/${page}")
  execute_process(COMMAND gzip -9n "${root}/usr/share/man/man1/${page}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip ${page} failed")
  endif()
endforeach()
file(REMOVE_RECURSE "${program}/share")

# What Debian asks of every package: its copyright and changelog, and here the reason
# why the program directory lies in /opt (lintian's override).
set(doc "${root}/usr/share/doc/velweb")
file(MAKE_DIRECTORY "${doc}" "${root}/usr/share/lintian/overrides")
file(COPY_FILE "${CPACK_VELWEB_DEBIAN_DIR}/copyright" "${doc}/copyright")
file(COPY_FILE "${CPACK_VELWEB_DEBIAN_DIR}/changelog" "${doc}/changelog")
file(COPY_FILE "${CPACK_VELWEB_DEBIAN_DIR}/lintian-overrides"
     "${root}/usr/share/lintian/overrides/velweb")
execute_process(COMMAND gzip -9n "${doc}/changelog" RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "gzip changelog failed")
endif()

file(MAKE_DIRECTORY "${root}/usr/bin")
foreach(tool velweb velctl)
  file(CREATE_LINK "${CPACK_VELWEB_PACKAGE_DIR}/${tool}" "${root}/usr/bin/${tool}" SYMBOLIC)
endforeach()
