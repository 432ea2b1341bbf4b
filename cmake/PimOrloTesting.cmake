# Unit tests are GoogleTest executables discovered into CTest; `unit_tests`
# builds all of them, which is what the sanitizer builds use. Each carries one
# label (a list does not survive test discovery): "unit", or "unit_threaded"
# for the cross-thread tests that also run under ThreadSanitizer. `-L ^unit`
# selects both.
include(GoogleTest)

# An installed GoogleTest is built against one C++ standard library (Debian's
# against libstdc++), which a build against another (libc++) cannot link; such
# a build names GoogleTest's sources (/usr/src/googletest) to build them too.
set(PIMORLO_GTEST_SOURCE_DIR "" CACHE PATH "Build GoogleTest from these sources instead of finding an installed one")
if(PIMORLO_GTEST_SOURCE_DIR AND NOT TARGET gtest)
  # GoogleTest is held to its own warnings, not the project's.
  get_directory_property(project_options COMPILE_OPTIONS)
  set(other_options ${project_options})
  list(FILTER other_options EXCLUDE REGEX "^-W")
  set_directory_properties(PROPERTIES COMPILE_OPTIONS "${other_options}")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${PIMORLO_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  set_directory_properties(PROPERTIES COMPILE_OPTIONS "${project_options}")
  # Releases before 1.11 did not name their targets as the installed package does.
  foreach(library gtest gtest_main gmock gmock_main)
    if(NOT TARGET GTest::${library})
      add_library(GTest::${library} ALIAS ${library})
    endif()
  endforeach()
elseif(NOT PIMORLO_GTEST_SOURCE_DIR)
  find_package(GTest REQUIRED)
endif()

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
