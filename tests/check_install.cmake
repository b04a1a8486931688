# SPDX-License-Identifier: MIT
# Installs the build into an empty staging prefix and checks that the program
# (each of PROGRAMS) and its documents land where GNUInstallDirs puts them.
file(REMOVE_RECURSE ${STAGE})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${STAGE} RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed with status ${status}")
endif()
set(files share/doc/conemask/copyright share/doc/conemask/changelog.gz share/conemask/conemask-tuner.html)
foreach(program IN LISTS PROGRAMS)
  list(APPEND files bin/${program} share/man/man1/${program}.1.gz)
endforeach()
foreach(file IN LISTS files)
  if(NOT EXISTS ${STAGE}/${file})
    message(FATAL_ERROR "${file} is not installed")
  endif()
endforeach()
