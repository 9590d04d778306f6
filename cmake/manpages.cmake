# Manual pages of the installed commands, compressed as Debian wants them.
# A command's page is man/<command>.1 when there is one; otherwise it is
# made from the command's own --help at build time, so it never goes stale.
set(EKLOGGER_MANPAGES)
foreach(command eklog eklog-recover)
  if(NOT TARGET ${command})
    continue()
  endif()
  set(page ${PROJECT_BINARY_DIR}/man/${command}.1)
  add_custom_command(OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -DCOMMAND=$<TARGET_FILE:${command}> -DNAME=${command}
              -DVERSION=${PROJECT_VERSION} -DSOURCE=${PROJECT_SOURCE_DIR}/man/${command}.1
              -DOUTPUT=${page} -P ${PROJECT_SOURCE_DIR}/cmake/make_manpage.cmake
      DEPENDS ${command} ${PROJECT_SOURCE_DIR}/cmake/make_manpage.cmake
      COMMENT "Manual page of ${command}"
      VERBATIM)
  list(APPEND EKLOGGER_MANPAGES ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
endforeach()
if(EKLOGGER_MANPAGES)
  add_custom_target(eklogger_manpages ALL DEPENDS ${EKLOGGER_MANPAGES})
endif()
