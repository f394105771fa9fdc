# Runs one quick benchmark with JSON output on standard output and in a file, and checks both
# parse as JSON with the run in them and the comparison table on standard error.
file(REMOVE "${OUT}")
execute_process(
  COMMAND "${BENCH}" "--benchmark_filter=^Share/" "--benchmark_min_time=0.001" "--benchmark_format=json"
          "--benchmark_out=${OUT}" "--benchmark_out_format=json"
  OUTPUT_VARIABLE stdout ERROR_VARIABLE stderr RESULT_VARIABLE code)
if(NOT code EQUAL 0)
  message(FATAL_ERROR "kestrelink_bench exited with ${code}: ${stderr}")
endif()
foreach(source stdout file)
  if(source STREQUAL file)
    file(READ "${OUT}" text)
  else()
    set(text "${stdout}")
  endif()
  string(JSON name ERROR_VARIABLE error GET "${text}" benchmarks 0 name)
  if(error OR NOT name MATCHES "^Share/")
    message(FATAL_ERROR "the ${source} output is no JSON report with the run (${error}):\n${text}")
  endif()
endforeach()
if(NOT stderr MATCHES "operation/argument +implementation")
  message(FATAL_ERROR "no comparison on standard error:\n${stderr}")
endif()
