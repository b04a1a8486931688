# Runs conemask on the bundled example raster in DEMO_DIR and says where the
# mask went. Invoked by the `demo` target with -DCONEMASK=... -DEXAMPLES=...
# -DDEMO_DIR=...
file(MAKE_DIRECTORY ${DEMO_DIR})
file(COPY_FILE ${EXAMPLES}/gradient.rgb ${DEMO_DIR}/gradient.rgb)
set(rows 96)
set(cols 128)
execute_process(
  COMMAND ${CONEMASK} 200 40 40 0.35 30 gradient ${rows} ${cols}
  WORKING_DIRECTORY ${DEMO_DIR}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "conemask failed with status ${status}")
endif()
message(STATUS "mask written to ${DEMO_DIR}/gradient.raw (${rows} rows x ${cols} columns, 16-bit little-endian)")
