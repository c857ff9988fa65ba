# One short run of a fuzz target: its committed seeds, then SECONDS of
# fuzzing into a corpus folder of the build that starts empty each time.
# Any crash, leak or sanitizer report fails the test.
set(ENV{LSAN_OPTIONS} "suppressions=${CMAKE_CURRENT_LIST_DIR}/lsan.supp:print_suppressions=0")
set(ENV{UBSAN_OPTIONS} "print_stacktrace=1")
file(REMOVE_RECURSE ${WORKDIR})
file(MAKE_DIRECTORY ${WORKDIR}/corpus ${WORKDIR}/artifacts)
execute_process(
  COMMAND ${TARGET} -max_total_time=${SECONDS} -timeout=20 -rss_limit_mb=2560 -print_final_stats=1
          -artifact_prefix=${WORKDIR}/artifacts/ ${WORKDIR}/corpus ${SEEDS}
  RESULT_VARIABLE result
  OUTPUT_VARIABLE out ERROR_VARIABLE out)
string(REGEX MATCH "stat::number_of_executed_units: *[0-9]+" runs "${out}")
message("${TARGET}: ${runs}")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the fuzz target failed (exit ${result}):\n${out}")
endif()
