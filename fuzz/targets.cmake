# The fuzz targets, built two ways from one list:
#  - EKLOGGER_FUZZ_MODE "fuzzer" (fuzz/CMakeLists.txt, clang, -DEKLOGGER_BUILD_FUZZ=ON):
#    libFuzzer executables <name> with address and undefined-behaviour
#    sanitizers;
#  - EKLOGGER_FUZZ_MODE "replay" (tests/robustness, any compiler): <name>_replay,
#    which runs the target's seed corpus and kept crash inputs once each, as
#    the ctest test fuzz_replay.<name>.
# Targets that test internals compile those sources in; the others link the
# project's libraries as a program would.
# The replays are tests of the default build, which must not need what only
# a fuzz target uses: a replay whose libraries are not found is left out.
if(EKLOGGER_FUZZ_MODE STREQUAL "fuzzer")
  find_package(LibXml2 REQUIRED)
  find_package(nlohmann_json 3 REQUIRED)
else()
  find_package(LibXml2 QUIET)
  find_package(nlohmann_json 3 QUIET)
endif()

set(EKLOGGER_FUZZ_DIR ${PROJECT_SOURCE_DIR}/fuzz)
set(EKLOGGER_FUZZ_TARGETS properties_fuzz printf_fuzz formatter_fuzz catalog_fuzz ekmsg_fuzz
    eklog_basic_fuzz eklog_xml_fuzz eklog_json_fuzz staging_area_fuzz)

function(eklogger_fuzz_target name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES;INCLUDES;DEFINES" ${ARGN})
  foreach(library IN LISTS ARG_LIBRARIES)
    if(library MATCHES "::" AND NOT TARGET ${library})
      message(STATUS "fuzz_replay.${name} left out: ${library} was not found")
      return()
    endif()
  endforeach()
  if(EKLOGGER_FUZZ_MODE STREQUAL "fuzzer")
    set(target ${name})
    add_executable(${target} ${EKLOGGER_FUZZ_DIR}/${name}.cpp ${ARG_SOURCES})
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer)
    target_link_options(${target} PRIVATE -fsanitize=fuzzer)
  else()
    set(target ${name}_replay)
    add_executable(${target} ${EKLOGGER_FUZZ_DIR}/${name}.cpp ${ARG_SOURCES}
                             ${EKLOGGER_FUZZ_DIR}/replay_main.cpp)
    add_test(NAME fuzz_replay.${name}
             COMMAND ${target} ${EKLOGGER_FUZZ_DIR}/corpus/${name}
                               ${EKLOGGER_FUZZ_DIR}/regressions/${name})
    set_tests_properties(fuzz_replay.${name} PROPERTIES LABELS "fuzz-replay")
  endif()
  target_include_directories(${target} PRIVATE ${EKLOGGER_FUZZ_DIR} ${ARG_INCLUDES})
  target_compile_definitions(${target} PRIVATE ${ARG_DEFINES})
  target_link_libraries(${target} PRIVATE ${ARG_LIBRARIES})
  eklogger_set_warnings(${target})
  eklogger_set_sanitizers(${target})
endfunction()

eklogger_fuzz_target(properties_fuzz
    SOURCES ${PROJECT_SOURCE_DIR}/lib/toolkit/properties.cpp
    INCLUDES ${PROJECT_SOURCE_DIR}/lib)

eklogger_fuzz_target(printf_fuzz LIBRARIES nxrt)

eklogger_fuzz_target(formatter_fuzz
    LIBRARIES gwtoolkit_static LibXml2::LibXml2 nlohmann_json::nlohmann_json
    DEFINES EKLOGGER_SCHEMA_FILE="${PROJECT_SOURCE_DIR}/schema/eklogger-log.xsd")

eklogger_fuzz_target(catalog_fuzz LIBRARIES lcs)

eklogger_fuzz_target(staging_area_fuzz LIBRARIES gwtoolkit_static)

eklogger_fuzz_target(ekmsg_fuzz LIBRARIES eklogger
    DEFINES EKLOGGER_BIN_DIR="${PROJECT_BINARY_DIR}/bin")
if(EKLOGGER_FUZZ_MODE STREQUAL "fuzzer")
  add_dependencies(ekmsg_fuzz eklogger_catalogs)
else()
  add_dependencies(ekmsg_fuzz_replay eklogger_catalogs)
endif()

# eklog's three record readers (eklog/), as the command links them.
foreach(format basic xml json)
  eklogger_fuzz_target(eklog_${format}_fuzz LIBRARIES eklog_reading)
endforeach()
