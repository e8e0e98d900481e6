# Runs every benchmark program once in a short mode; fails when one fails
# (a server that does not start, a wrong reply, a sentinel). Timings are not
# judged here.
foreach(run
    "${CLIENT};--benchmark_min_time=0.01"
    "${SIM};--clients=1,16;--warmup_ms=20;--measure_ms=100;--rounds=1;--round_ms=50"
    "${PLANT};--instruments=200;--in_flight=50;--sample=10;--limit_ms=10000")
  execute_process(COMMAND ${run} RESULT_VARIABLE rc TIMEOUT 40)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${run}: ${rc}")
  endif()
endforeach()
