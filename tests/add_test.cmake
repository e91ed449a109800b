# brindlecap_add_test(NAME SOURCES... [PROGRAM target] [LIBRARIES...]
#                     [DEFINITIONS...] [DEPENDS...] [PROPERTIES...])
# One GoogleTest program, its tests found when CTest runs. PROGRAM names the
# built program the tests run as a child: its path is the definition PROGRAM,
# and the harness of tests/support is linked.
#
# Tests are named after the lines of the tables they come from, and CTest
# lists a program's tests again only when the program is newer than the list
# it made. So every table of the calling folder (*.txt, *.json, *.jsonl) is a
# link dependency of the program: editing one relinks it, and the next CTest
# run lists and runs what the table now holds. The glob is checked on every
# build, so a new table counts without configuring again.
include(GoogleTest)

function(brindlecap_add_test name)
  cmake_parse_arguments(PARSE_ARGV 1 T "" "PROGRAM" "SOURCES;LIBRARIES;DEFINITIONS;DEPENDS;PROPERTIES")
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBRARIES} GTest::gtest_main)
  if(T_PROGRAM)
    target_link_libraries(${name} PRIVATE brindlecap_test_support)
    list(APPEND T_DEFINITIONS PROGRAM="$<TARGET_FILE:${T_PROGRAM}>")
    list(APPEND T_DEPENDS ${T_PROGRAM})
  endif()
  if(T_DEFINITIONS)
    target_compile_definitions(${name} PRIVATE ${T_DEFINITIONS})
  endif()
  if(T_DEPENDS)
    add_dependencies(${name} ${T_DEPENDS})
  endif()

  file(GLOB tables CONFIGURE_DEPENDS
    "${CMAKE_CURRENT_SOURCE_DIR}/*.txt"
    "${CMAKE_CURRENT_SOURCE_DIR}/*.json"
    "${CMAKE_CURRENT_SOURCE_DIR}/*.jsonl")
  list(REMOVE_ITEM tables "${CMAKE_CURRENT_SOURCE_DIR}/CMakeLists.txt")
  set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${tables})

  if(T_PROPERTIES)
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST PROPERTIES ${T_PROPERTIES})
  else()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST)
  endif()
endfunction()
