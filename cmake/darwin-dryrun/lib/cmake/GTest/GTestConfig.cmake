# GoogleTest as Homebrew installs it, for the Darwin configure dry run: the
# imported targets the project links, with nothing behind them (nothing is
# built in a dry run).
set(GTest_FOUND TRUE)
foreach(library gtest gtest_main gmock gmock_main)
  if(NOT TARGET GTest::${library})
    add_library(GTest::${library} INTERFACE IMPORTED)
  endif()
endforeach()
