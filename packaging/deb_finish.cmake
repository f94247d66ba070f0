# Runs inside cpack (CPACK_POST_BUILD_SCRIPTS) on each package made: the data archive
# loses its entry for /opt, which no package should own (dpkg would remove an empty /opt
# at a purge). The directory is on every Debian system.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  execute_process(COMMAND sh "${CMAKE_CURRENT_LIST_DIR}/deb_drop_opt.sh" "${deb}"
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "taking ./opt/ out of ${deb} failed")
  endif()
endforeach()
