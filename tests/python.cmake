# The Python binding (python/marvok) under pytest, against the built library
# and the simulator. Debian's python3 comes first: it is the one that has
# python3-pytest (a python3 earlier on PATH may not).
if(NOT TARGET marvok-sim)
  return()
endif()

find_program(MARVOK_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(MARVOK_PYTHON3 python3)

# A sanitized library loads only into a process whose sanitizer runtime came
# first; the interpreter itself is not checked for leaks.
set(python_sanitizer_env)
if(MARVOK_SANITIZE)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
    OUTPUT_VARIABLE asan_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(python_sanitizer_env LD_PRELOAD=${asan_runtime} ASAN_OPTIONS=detect_leaks=0)
endif()

if(MARVOK_PYTHON3)
  # -p no:cacheprovider and no bytecode: the run leaves nothing in the
  # source tree. A skipped test fails the run (tests/python/conftest.py), and
  # so does pytest's "no tests ran" (exit 5).
  add_test(NAME python.pytest
    COMMAND ${CMAKE_COMMAND} -E env
      MARVOK_LIBRARY=$<TARGET_FILE:marvok> MARVOK_SIM=$<TARGET_FILE:marvok-sim>
      PYTHONPATH=${PROJECT_SOURCE_DIR}/python PYTHONDONTWRITEBYTECODE=1 ${python_sanitizer_env}
      ${MARVOK_PYTHON3} -m pytest -p no:cacheprovider -o xfail_strict=true -v -ra
        ${CMAKE_CURRENT_LIST_DIR}/python)
else()
  add_test(NAME python.pytest
    COMMAND sh -c "echo 'no python3 found: install python3-pytest (scripts/deps.sh)' >&2; exit 1")
endif()
set_tests_properties(python.pytest PROPERTIES LABELS python TIMEOUT 120)
