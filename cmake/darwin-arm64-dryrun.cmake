# Configures the project as a Mac on Apple silicon would, on a machine without
# an Apple SDK: nothing is built, but CMake takes every decision it takes on a
# Mac (APPLE is true, the macOS backend is chosen, the deployment target and
# architecture land in the compile and link lines), so a Linux-only target or
# test that would break a Mac's configure shows up here.
#
#   cmake -S . -B build-darwin -G Ninja \
#         --toolchain cmake/darwin-arm64-dryrun.cmake
#
# scripts/darwin-dryrun runs it and inspects what it generated.

set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_VERSION 24.0)  # macOS 15
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(CMAKE_OSX_ARCHITECTURES arm64 CACHE STRING "")
# No SDK here; on a Mac CMake asks xcrun for it.
set(CMAKE_OSX_SYSROOT "" CACHE PATH "")

# The host's clang stands in for Apple's; it is never asked to build anything,
# so its identification and checks are skipped and its identity is declared
# as the one a Mac reports.
find_program(_pimorlo_clang NAMES clang-16 clang REQUIRED)
find_program(_pimorlo_clangxx NAMES clang++-16 clang++ REQUIRED)
foreach(lang C CXX OBJCXX)
  if(lang STREQUAL "C")
    set(CMAKE_${lang}_COMPILER ${_pimorlo_clang})
  else()
    set(CMAKE_${lang}_COMPILER ${_pimorlo_clangxx})
  endif()
  set(CMAKE_${lang}_COMPILER_FORCED TRUE)
  set(CMAKE_${lang}_COMPILER_ID_RUN TRUE)
  set(CMAKE_${lang}_COMPILER_ID AppleClang)
  set(CMAKE_${lang}_COMPILER_VERSION 16.0.0.16000026)
  set(CMAKE_${lang}_COMPILER_FRONTEND_VARIANT GNU)
  set(CMAKE_${lang}_STANDARD_COMPUTED_DEFAULT 17)
  set(CMAKE_${lang}_EXTENSIONS_COMPUTED_DEFAULT ON)
  set(CMAKE_${lang}_SIZEOF_DATA_PTR 8)
endforeach()
set(CMAKE_C_STANDARD_COMPUTED_DEFAULT 17)
# Xcode's binary tools; CMake only records where they are.
set(CMAKE_INSTALL_NAME_TOOL /usr/bin/true)

# Only what a Mac with Homebrew's googletest offers is found: packages and
# libraries come from the small root next to this file, never from the host.
set(CMAKE_FIND_ROOT_PATH ${CMAKE_CURRENT_LIST_DIR}/darwin-dryrun)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# pkg-config modules neither: the host's .pc files describe Linux libraries.
set(ENV{PKG_CONFIG_LIBDIR} ${CMAKE_CURRENT_LIST_DIR}/darwin-dryrun/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
