# Checks sync-object.o: kx_sync is defined there, nothing of the reader is left unresolved,
# and a program linked with it alone synchronises. Run with -DNM= -DOBJECT= -DPROGRAM= -P.
execute_process(COMMAND ${NM} -C --defined-only ${OBJECT}
  OUTPUT_VARIABLE defined RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${OBJECT}")
endif()
if(NOT defined MATCHES "[0-9a-f]+ T kx_sync\\(std::vector<")
  message(FATAL_ERROR "kx_sync is not defined in ${OBJECT}:\n${defined}")
endif()

# Everything else it needs must come from the C++ runtime, not from the reader's libraries.
execute_process(COMMAND ${NM} -C --undefined-only ${OBJECT}
  OUTPUT_VARIABLE undefined RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${OBJECT}")
endif()
if(undefined MATCHES "kx_|BinReader")
  message(FATAL_ERROR "${OBJECT} leaves symbols of the reader unresolved:\n${undefined}")
endif()

execute_process(COMMAND ${PROGRAM} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} failed (${rc}):\n${out}${err}")
endif()
message(STATUS "${out}")
