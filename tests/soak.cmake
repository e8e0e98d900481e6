# Soak runs (label soak) and memcheck of the library's tests (label valgrind).
# Both soak runs are timed, so they run alone (RUN_SERIAL).
if(NOT TARGET marvok_sim_core)
  return()
endif()

# The library with its waits divided by 100 (a silent instrument costs 80 ms,
# not 8 s): the client and the exports as built for the product, the real
# POSIX sockets with net_select and net_recv renamed, and soak_waits.cpp,
# whose net_select scales the time-out before calling the real one, whose
# net_sleep replaces the pause, and which keeps each call's timeline.
# Nothing of the product's source changes.
add_library(marvok_soak_net OBJECT ${PROJECT_SOURCE_DIR}/platform/net_posix.cpp)
target_include_directories(marvok_soak_net PRIVATE ${PROJECT_SOURCE_DIR}/platform)
target_compile_definitions(marvok_soak_net PRIVATE
  net_select=marvok_soak_unscaled_select net_recv=marvok_soak_unscaled_recv)

add_executable(marvok_soak_library_tests
  ${CMAKE_CURRENT_LIST_DIR}/soak_library_test.cpp ${CMAKE_CURRENT_LIST_DIR}/soak_waits.cpp)
target_link_libraries(marvok_soak_library_tests PRIVATE
  marvok_objects marvok_soak_net marvok_test_support)
target_compile_definitions(marvok_soak_library_tests PRIVATE MARVOK_SOAK_WAIT_DIVISOR=100)
gtest_discover_tests(marvok_soak_library_tests
  TEST_PREFIX "soak."
  PROPERTIES LABELS soak TIMEOUT 200 RUN_SERIAL TRUE
  DISCOVERY_TIMEOUT 30
  NO_PRETTY_VALUES)

# The simulator under a thousand misbehaving clients.
add_executable(marvok_soak_sim_tests ${CMAKE_CURRENT_LIST_DIR}/soak_sim_test.cpp)
target_link_libraries(marvok_soak_sim_tests PRIVATE marvok_test_support)
gtest_discover_tests(marvok_soak_sim_tests
  TEST_PREFIX "soak."
  PROPERTIES LABELS soak TIMEOUT 200 RUN_SERIAL TRUE
  DISCOVERY_TIMEOUT 30
  NO_PRETTY_VALUES)

# The library's tests under valgrind's memcheck, but for the cases that wait
# out the 4 s and 5 s time-outs (silent and late instruments), which prove
# nothing more about memory and cost seconds each under valgrind. Valgrind
# cannot run a program built with AddressSanitizer.
if(NOT MARVOK_SANITIZE)
  find_program(MARVOK_VALGRIND valgrind)
  if(MARVOK_VALGRIND)
    add_test(NAME valgrind.library_tests
      COMMAND ${MARVOK_VALGRIND} --error-exitcode=1 --leak-check=full
              --errors-for-leak-kinds=definite,indirect
              $<TARGET_FILE:marvok_library_tests>
              "--gtest_filter=-*Timed.*:*Timeouts.*:*Silent*:*Late*")
  else()
    add_test(NAME valgrind.library_tests
      COMMAND sh -c "echo 'valgrind not found: install it (scripts/deps.sh)' >&2; exit 1")
  endif()
  set_tests_properties(valgrind.library_tests PROPERTIES LABELS valgrind TIMEOUT 300)
endif()
