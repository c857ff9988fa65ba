# Runs one example network with a dump, in a fresh directory, then reads the
# dump back as a network and checks that it gives the same fields. An
# example runs cleanly: a text reported through the error channel fails it.
#   cmake -DVELMORA=... -DNETWORK=... -DWORKDIR=... -P run_example.cmake
file(REMOVE_RECURSE ${WORKDIR})
file(MAKE_DIRECTORY ${WORKDIR})
execute_process(COMMAND ${VELMORA} run ${NETWORK} --dump ${WORKDIR}/dump.json
  WORKING_DIRECTORY ${WORKDIR} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "velmora run ${NETWORK} exited with ${rc}")
endif()
file(READ ${WORKDIR}/dump.json first)
string(JSON nmessages LENGTH "${first}" run messages)
if(NOT nmessages EQUAL 0)
  string(JSON text GET "${first}" run messages 0 text)
  message(FATAL_ERROR "${NETWORK}: the modules reported ${nmessages} message(s), the first: ${text}")
endif()
execute_process(COMMAND ${VELMORA} run ${WORKDIR}/dump.json --dump ${WORKDIR}/again.json
  WORKING_DIRECTORY ${WORKDIR} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the dump of ${NETWORK} does not read back (exit ${rc})")
endif()
file(READ ${WORKDIR}/again.json second)
string(JSON first_fields GET "${first}" fields)
string(JSON second_fields GET "${second}" fields)
if(NOT first_fields STREQUAL second_fields)
  message(FATAL_ERROR "the dump of ${NETWORK} read back gives other fields: compare ${WORKDIR}/dump.json and ${WORKDIR}/again.json")
endif()
message(STATUS "${NETWORK}: ran cleanly, dump read back with the same fields")
