# Unit tests are GoogleTest executables discovered into CTest with the label
# "unit"; `unit_tests` builds all of them, which is what the sanitizer builds
# use. Extra labels (such as "tsan" for the cross-thread tests) are passed on.
include(GoogleTest)
find_package(GTest REQUIRED)

if(NOT TARGET unit_tests)
  add_custom_target(unit_tests)
endif()

function(pimorlo_add_unit_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${name} PROPERTIES LABELS "unit;${ARG_LABELS}" DISCOVERY_TIMEOUT 60)
  add_dependencies(unit_tests ${name})
endfunction()
