# Where `cmake --install` puts the two programs for a companion build to pick
# up, and the Debian package of the Linux build.
#
# Linux: <prefix>/libexec/pimorlo-companion/ (/usr/libexec/... in the package).
# macOS: <prefix>/Contents/Helpers/, the companion bundle's folder for helper
#        tools, so the staged tree is copied over the bundle as it stands:
#          cmake --install build --prefix stage && ditto stage PimOrlo.app
include(GNUInstallDirs)

if(APPLE)
  set(PIMORLO_HELPERS_DIR "Contents/Helpers")
else()
  set(PIMORLO_HELPERS_DIR "${CMAKE_INSTALL_LIBEXECDIR}/pimorlo-companion")
endif()

set(PIMORLO_INSTALLED_PROGRAMS)
foreach(program PimOrloAudioTap PimOrloWebView)
  if(TARGET ${program})
    list(APPEND PIMORLO_INSTALLED_PROGRAMS ${program})
  endif()
endforeach()
if(PIMORLO_INSTALLED_PROGRAMS)
  install(TARGETS ${PIMORLO_INSTALLED_PROGRAMS} RUNTIME DESTINATION ${PIMORLO_HELPERS_DIR})
endif()

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(PIMORLO_PACKAGE_CONTACT "Pim Orlo developers <dev@pimorlo.invalid>"
      CACHE STRING "Maintainer named in the Debian package")
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME pimorlo-companion-helpers)
  set(CPACK_PACKAGE_VENDOR "Pim Orlo")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Audio tap and web view helpers of the Pim Orlo companion")
  set(CPACK_PACKAGE_DESCRIPTION [=[
PimOrloAudioTap captures what the machine plays through PipeWire, or
PulseAudio where no PipeWire runs, less the companion's own audio, and
streams it to standard output as 16 kHz mono 16-bit PCM. PimOrloWebView
shows the companion's local web page in one window. The Pim Orlo companion
application starts both from /usr/libexec/pimorlo-companion/.]=])
  set(CPACK_PACKAGE_CONTACT "${PIMORLO_PACKAGE_CONTACT}")
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION misc)
  # The libraries' packages (PipeWire's and PulseAudio's client libraries,
  # libsoxr, GLib, GTK, WebKitGTK) are read off the programs by
  # dpkg-shlibdeps; none of them is a sound server. The tap also needs one
  # running, whichever the desktop has.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pipewire | pulseaudio")
  set(CPACK_STRIP_FILES ON)
  # Debian wants 0755 directories; CPack would otherwise take the packager's
  # umask (0775 under 002) for the ones it makes.
  set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
      OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/PimOrloDebianDocs.cmake.in ${PROJECT_BINARY_DIR}/PimOrloDebianDocs.cmake @ONLY)
  set(CPACK_INSTALL_SCRIPTS ${PROJECT_BINARY_DIR}/PimOrloDebianDocs.cmake)
  include(CPack)
endif()
