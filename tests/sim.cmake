# The simulator's tests, and the in-process instrument and the program
# runner every test can use.
if(NOT TARGET marvok_sim_core)
  return()
endif()

target_sources(marvok_test_support PRIVATE ${CMAKE_CURRENT_LIST_DIR}/support/instrument.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sim_program.cpp)
target_include_directories(marvok_test_support PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(marvok_test_support PUBLIC marvok_sim_core)

add_executable(marvok_sim_tests
  ${CMAKE_CURRENT_LIST_DIR}/sim_protocol_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sim_fault_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sim_server_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sim_cli_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sim_plant_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sim_fleet_test.cpp)
target_link_libraries(marvok_sim_tests PRIVATE marvok_test_support)
target_compile_definitions(marvok_sim_tests PRIVATE MARVOK_SIM_PROGRAM="$<TARGET_FILE:marvok-sim>"
  MARVOK_SIM_EXAMPLES="${PROJECT_SOURCE_DIR}/sim/examples")
add_dependencies(marvok_sim_tests marvok-sim)
gtest_discover_tests(marvok_sim_tests PROPERTIES LABELS sim TIMEOUT 60)
