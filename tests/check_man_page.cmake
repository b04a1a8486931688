# SPDX-License-Identifier: MIT
# Fails when groff has anything to say about the man page: -ww turns on every
# warning, -z renders without output.
execute_process(COMMAND ${GROFF} -man -ww -z ${PAGE} RESULT_VARIABLE status ERROR_VARIABLE messages)
if(NOT status EQUAL 0 OR NOT messages STREQUAL "")
  message(FATAL_ERROR "groff (status ${status}):\n${messages}")
endif()
