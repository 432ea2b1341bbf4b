# Installs the build into a fresh prefix (or, with DEB, packs it as a Debian
# package and unpacks that) and checks what a companion build would find: the
# two programs, nothing else, and an audio tap that answers --check.
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
  run(dpkg-deb --field ${packages} Depends)
  # The libraries the programs link are what the package must pull in.
  foreach(library libpipewire-0.3-0 libsoxr0 libglib2.0-0)
    if(NOT run_output MATCHES "${library}")
      fail("the package does not depend on ${library}: ${run_output}")
    endif()
  endforeach()
  set(root ${WORK_DIR}/root)
  run(dpkg-deb --extract ${packages} ${root})
  set(prefix ${root}/usr)
else()
  set(prefix ${WORK_DIR}/prefix)
  run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
  set(root ${prefix})
endif()

# Exactly the programs: a test build (the mock-capture web shell, helpers of
# the end-to-end tests) must never reach a companion.
file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE ${root} ${root}/*)
list(SORT installed)
set(expected)
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

execute_process(COMMAND ${prefix}/${HELPERS_DIR}/PimOrloAudioTap --check
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 10)
if(NOT status EQUAL 0 OR NOT out STREQUAL "" OR NOT err STREQUAL "")
  fail("the installed PimOrloAudioTap --check: status ${status}, output '${out}', errors '${err}'")
endif()
string(JOIN ", " installed_text ${installed})
message(STATUS "installed: ${installed_text}")
