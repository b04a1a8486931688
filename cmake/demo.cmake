# SPDX-License-Identifier: MIT
# Runs conemask on the example photograph in DEMO_DIR and, where ImageMagick is
# installed, draws the photograph and its mask side by side. Invoked by the
# `demo` target with -DCONEMASK=... -DEXAMPLES=... -DDEMO_DIR=...
set(base coffee)
set(rows 400)
set(cols 600)
# The saucer's deep red; a narrow cone keeps the brown wood out.
set(operands 180 40 15 0.12 10)

file(MAKE_DIRECTORY ${DEMO_DIR})
file(COPY_FILE ${EXAMPLES}/${base}.rgb ${DEMO_DIR}/${base}.rgb)
execute_process(
  COMMAND ${CONEMASK} ${operands} ${base} ${rows} ${cols}
  WORKING_DIRECTORY ${DEMO_DIR}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "conemask failed with status ${status}")
endif()
message(STATUS "mask written to ${DEMO_DIR}/${base}.raw (${rows} rows x ${cols} columns, 16-bit little-endian)")

# The mask is stretched to its own maximum (the saucer tops out at 131 of a
# possible 253), so that it is not dim. Each read sets its own -depth, which
# would otherwise carry over to the next.
set(picture ${DEMO_DIR}/${base}-side-by-side.png)
file(REMOVE ${picture})
find_program(CONVERT convert)
if(CONVERT)
  execute_process(
    COMMAND ${CONVERT} -size ${cols}x${rows} -depth 16 -endian LSB gray:${base}.raw -auto-level -depth 8
            -size ${cols}x${rows} -depth 8 rgb:${base}.rgb +swap +append +repage ${picture}
    WORKING_DIRECTORY ${DEMO_DIR}
    RESULT_VARIABLE status
    OUTPUT_QUIET ERROR_QUIET)
endif()
if(EXISTS ${picture})
  message(STATUS "photograph and mask side by side: ${picture}")
else()
  message(STATUS "no picture drawn: install ImageMagick (Debian: apt-get install imagemagick) to see the mask")
endif()
