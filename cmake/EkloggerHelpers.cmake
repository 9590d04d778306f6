# Per-target settings shared by every library, test and tool of the project.

# Warnings for the project's own code, errors with EKLOGGER_WERROR (the
# project's presets turn it on; a build with another compiler or as part of
# another project need not stop at a new warning).
function(eklogger_set_warnings target)
  target_compile_options(${target} PRIVATE
      -Wall -Wextra -Wnon-virtual-dtor -Wformat=2
      $<$<COMPILE_LANGUAGE:CXX>:-Woverloaded-virtual>)
  if(EKLOGGER_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# Sanitizers chosen by EKLOGGER_SANITIZERS, with no recovery so a finding
# fails the test that made it.
function(eklogger_set_sanitizers target)
  if(EKLOGGER_SANITIZERS)
    set(flags -fsanitize=${EKLOGGER_SANITIZERS} -fno-sanitize-recover=all
              -fno-omit-frame-pointer)
    target_compile_options(${target} PRIVATE ${flags})
    target_link_options(${target} PRIVATE ${flags})
  endif()
endfunction()

# A shared library of the project: versioned SONAME, hidden visibility so that
# only what is marked for export leaves the library, warnings and sanitizers.
function(eklogger_shared_library target output_name)
  set_target_properties(${target} PROPERTIES
      OUTPUT_NAME ${output_name}
      VERSION ${PROJECT_VERSION}
      SOVERSION ${PROJECT_VERSION_MAJOR}
      C_VISIBILITY_PRESET hidden
      CXX_VISIBILITY_PRESET hidden
      VISIBILITY_INLINES_HIDDEN ON)
  target_include_directories(${target} PUBLIC
      $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/lib>
      $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  # Calls between a library's own functions bind inside it (no PLT hop on
  # the record path).  Calls to the platform functions, which the library
  # does not define, still bind at load time.
  target_compile_options(${target} PRIVATE -fno-semantic-interposition)
  eklogger_set_warnings(${target})
  eklogger_set_sanitizers(${target})
  if(EKLOGGER_INSTALL)
    # The versioned library is the run-time part; the unversioned link
    # (what -l finds) belongs to the development files.
    install(TARGETS ${target} EXPORT ekloggerTargets
            LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
            ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
            RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
  endif()
endfunction()
