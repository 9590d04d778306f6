# Debian packages of the project, made by CPack from the install rules:
#
#   libeklogger1      the four shared libraries and the compiled catalogs,
#                     the schema and the example configuration
#   libeklogger-dev   headers, the unversioned library links, the CMake
#                     package and the pkg-config file, the documents
#   eklogger-tools    the operator commands and their manual pages
#
# tools/build-packages configures a build for the prefix /usr (so that the
# libraries go to Debian's multiarch directory), runs cpack -G DEB and
# lintian.  Dependencies on other packages come from dpkg-shlibdeps.
set(EKLOGGER_MAINTAINER "libeklogger developers <eklogger@example.org>")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME eklogger)
set(CPACK_PACKAGE_VENDOR "libeklogger developers")
set(CPACK_PACKAGE_CONTACT "${EKLOGGER_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${EKLOGGER_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A shlibs file for the libraries (only the runtime package has any).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# Each package's description below starts with its own synopsis line: with
# the summary left at CPack's default, CPack does not put another in front.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libeklogger1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The loader's cache is refreshed by dpkg's ldconfig trigger, not by
# maintainer scripts (ours replace those CPack would write).
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/debian/triggers ${CMAKE_CURRENT_LIST_DIR}/debian/postinst
    ${CMAKE_CURRENT_LIST_DIR}/debian/postrm)
# With the modes Debian wants (0644, scripts 0755), whatever the checkout's umask.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "catalogued message and trace logging for server processes
libeklogger writes catalogued messages (looked up in the user's language)
and trace records with source positions through a logging toolkit
configured from eklogger.properties: file, console, syslog and journal
handlers; basic, XML and JSON Lines formats.  This package holds the four
shared libraries (libeklogger, libgwtoolkit, liblcs, libnxrt) and the
compiled message catalogs in English, French and Japanese.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libeklogger-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libeklogger1 (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_DEV_DESCRIPTION
    "catalogued message and trace logging for server processes - development files
The headers of libeklogger and of its platform interfaces, the links to
build against the four libraries, the CMake package (find_package(eklogger))
and the pkg-config file, which also name where the catalogs and the example
configuration are installed, and the library's documents.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME eklogger-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "catalogued message and trace logging for server processes - operator commands
eklog reads the log files the library writes, in any of its formats,
merges those of several processes in time order, filters them by level,
component, message or text, and follows them as they grow.")

# What Debian wants in every package: its copyright and changelog under
# /usr/share/doc/<package>, and the runtime package's lintian overrides.
# Only the packages carry them (a plain install leaves them out).
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in
               ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
execute_process(COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/debian/changelog)
foreach(part IN ITEMS runtime dev tools)
  string(TOUPPER ${part} upper)
  set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${PROJECT_BINARY_DIR}/debian/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${part} EXCLUDE_FROM_ALL)
endforeach()
install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/libeklogger1.lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME libeklogger1
        COMPONENT runtime EXCLUDE_FROM_ALL)

include(CPack)
