# Unit tests are GoogleTest executables discovered into CTest; `unit_tests`
# builds all of them, which is what the sanitizer builds use. Each carries one
# label (a list does not survive test discovery): "unit", or "unit_threaded"
# for the cross-thread tests that also run under ThreadSanitizer. `-L ^unit`
# selects both.
include(GoogleTest)
find_package(GTest REQUIRED)

if(NOT TARGET unit_tests)
  add_custom_target(unit_tests)
endif()

function(pimorlo_add_unit_test name)
  cmake_parse_arguments(ARG "THREADED" "" "SOURCES;LIBRARIES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} GTest::gmock GTest::gtest_main)
  set(label unit)
  if(ARG_THREADED)
    set(label unit_threaded)
  endif()
  gtest_discover_tests(${name} PROPERTIES LABELS ${label} DISCOVERY_TIMEOUT 60)
  add_dependencies(unit_tests ${name})
endfunction()
