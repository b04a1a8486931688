# SPDX-License-Identifier: MIT
# Installs the build into an empty staging prefix and checks that the program
# and its documents land where GNUInstallDirs puts them.
file(REMOVE_RECURSE ${STAGE})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${STAGE} RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed with status ${status}")
endif()
foreach(file IN ITEMS bin/conemask share/man/man1/conemask.1.gz share/doc/conemask/copyright
                     share/doc/conemask/changelog.gz share/conemask/conemask-tuner.html)
  if(NOT EXISTS ${STAGE}/${file})
    message(FATAL_ERROR "${file} is not installed")
  endif()
endforeach()
