# Installs the build into a fresh prefix with --strip (or, with DEB, packs it
# as a Debian package, has lintian judge it and unpacks it) and checks what a
# companion build would find: the two programs, stripped, nothing else (the
# package adds its copyright and changelog), and an audio tap that answers
# --check.
#
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DHELPERS_DIR=... -DPROGRAMS=a,b
#         [-DDEB=ON] -P check_install.cmake

function(fail)
  string(JOIN "" message ${ARGN})
  message(FATAL_ERROR "${message}")
endfunction()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    string(JOIN " " command ${ARGN})
    fail("${command}: ${status}\n${out}${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

string(REPLACE "," ";" PROGRAMS "${PROGRAMS}")
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

if(DEB)
  run(cpack -G DEB -B ${WORK_DIR}/package --config ${BUILD_DIR}/CPackConfig.cmake)
  file(GLOB packages ${WORK_DIR}/package/*.deb)
  list(LENGTH packages count)
  if(NOT count EQUAL 1)
    fail("cpack made ${count} packages: ${packages}")
  endif()
  # The package draws no error and no warning; a new one fails here until it
  # is mended or, if helpers in libexec cannot avoid it, overridden and named
  # in the README's packaging note.
  execute_process(COMMAND lintian --fail-on error,warning --display-info ${packages}
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    fail("lintian: status ${status}\n${out}${err}")
  endif()
  message(STATUS "lintian:\n${out}")
  run(dpkg-deb --field ${packages} Depends)
  # The libraries the programs link are what the package must pull in, and
  # no sound server: a PulseAudio desktop keeps its own.
  foreach(library libpipewire-0.3-0 libpulse0 libsoxr0 libglib2.0-0)
    if(NOT run_output MATCHES "${library}")
      fail("the package does not depend on ${library}: ${run_output}")
    endif()
  endforeach()
  if(run_output MATCHES "(^|[ ,|])(pipewire|pulseaudio|wireplumber|pipewire-pulse)([ ,(|]|$)")
    fail("the package depends on a sound server: ${run_output}")
  endif()
  run(dpkg-deb --field ${packages} Recommends)
  if(NOT run_output MATCHES "pipewire \\| pulseaudio")
    fail("the package does not recommend either sound server: ${run_output}")
  endif()
  set(root ${WORK_DIR}/root)
  run(dpkg-deb --extract ${packages} ${root})
  set(prefix ${root}/usr)
  set(doc usr/share/doc/pimorlo-companion-helpers)
  set(package_files ${doc}/changelog.gz ${doc}/copyright)
  # The changelog's top entry names the version the package carries.
  run(dpkg-deb --field ${packages} Version)
  string(STRIP "${run_output}" version)
  run(dpkg-parsechangelog --file ${root}/${doc}/changelog.gz --show-field Version)
  string(STRIP "${run_output}" changelog_version)
  if(NOT changelog_version STREQUAL version)
    fail("the package is version ${version}, its changelog's top entry ${changelog_version}")
  endif()
else()
  set(prefix ${WORK_DIR}/prefix)
  run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --strip)
  set(root ${prefix})
  set(package_files)
endif()

# Exactly the programs: a test build (the mock-capture web shell, helpers of
# the end-to-end tests) must never reach a companion.
file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE ${root} ${root}/*)
list(SORT installed)
set(expected ${package_files})
file(RELATIVE_PATH helpers ${root} ${prefix}/${HELPERS_DIR})
foreach(program IN LISTS PROGRAMS)
  list(APPEND expected ${helpers}/${program})
endforeach()
list(SORT expected)
if(NOT installed STREQUAL expected)
  string(JOIN ", " installed_text ${installed})
  string(JOIN ", " expected_text ${expected})
  fail("installed: ${installed_text}\nexpected: ${expected_text}")
endif()

# A companion ships what it finds; the build's debug information has no place
# in it. file(1) tells only of ELF whether it is stripped.
foreach(program IN LISTS PROGRAMS)
  run(file -b ${prefix}/${HELPERS_DIR}/${program})
  if(run_output MATCHES "^ELF" AND NOT run_output MATCHES ", stripped")
    fail("the installed ${program} is not stripped: ${run_output}")
  endif()
endforeach()

execute_process(COMMAND ${prefix}/${HELPERS_DIR}/PimOrloAudioTap --check
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 10)
if(NOT status EQUAL 0 OR NOT out STREQUAL "" OR NOT err STREQUAL "")
  fail("the installed PimOrloAudioTap --check: status ${status}, output '${out}', errors '${err}'")
endif()
string(JOIN ", " installed_text ${installed})
message(STATUS "installed: ${installed_text}")
