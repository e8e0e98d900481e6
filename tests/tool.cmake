# The host tool's tests: they run marvok-read as a host application's user
# would, as a child process, and check what it prints and how it exits.
if(NOT TARGET marvok-read)
  return()
endif()

add_executable(marvok_tool_tests ${CMAKE_CURRENT_LIST_DIR}/tool_cli_test.cpp)
# Reading values needs the simulated instrument.
if(TARGET marvok_sim_core)
  target_sources(marvok_tool_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/tool_read_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tool_plant_test.cpp)
endif()
# JSON rows are parsed back with the library that wrote them.
find_package(nlohmann_json 3.10 CONFIG REQUIRED)
target_link_libraries(marvok_tool_tests PRIVATE marvok_test_support nlohmann_json::nlohmann_json)
target_compile_definitions(marvok_tool_tests PRIVATE
  MARVOK_READ_PROGRAM="$<TARGET_FILE:marvok-read>"
  MARVOK_LIBRARY="$<TARGET_FILE:marvok>")
add_dependencies(marvok_tool_tests marvok-read marvok)
# The cases that hold the tool to its time grid, or to a prompt stop, run
# alone: other tests' load could push a round late and fail a correct tool.
set(tool_timed_cases "ToolReadRounds.*:ToolPlantRounds.*:*ToolStop*")
gtest_discover_tests(marvok_tool_tests TEST_FILTER "-${tool_timed_cases}" TEST_LIST tool_tests
  PROPERTIES TIMEOUT 60 LABELS tool)
gtest_discover_tests(marvok_tool_tests TEST_FILTER "${tool_timed_cases}" TEST_LIST tool_timed_tests
  PROPERTIES TIMEOUT 60 LABELS tool RUN_SERIAL TRUE)
