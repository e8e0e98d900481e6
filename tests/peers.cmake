# Third-party peers (label peers): the library against an instrument written
# with libmodbus, mbpoll and libmodbus's client against our simulator, and
# tshark's Modbus/TCP dissector over a capture of our exchanges. The peers
# are Debian packages that scripts/deps.sh installs.
if(NOT TARGET marvok_sim_core)
  return()
endif()

find_package(PkgConfig)
if(PkgConfig_FOUND)
  pkg_check_modules(MARVOK_LIBMODBUS IMPORTED_TARGET libmodbus)
endif()
find_program(MARVOK_MBPOLL mbpoll)
find_program(MARVOK_TSHARK tshark)
find_program(MARVOK_DUMPCAP dumpcap)
if(NOT MARVOK_LIBMODBUS_FOUND OR NOT MARVOK_MBPOLL OR NOT MARVOK_TSHARK OR NOT MARVOK_DUMPCAP)
  message(WARNING "peer tests off: they need libmodbus-dev, mbpoll and tshark (scripts/deps.sh installs them)")
  return()
endif()

add_executable(marvok_modbus_instrument ${CMAKE_CURRENT_LIST_DIR}/peers/modbus_instrument.c)
target_link_libraries(marvok_modbus_instrument PRIVATE PkgConfig::MARVOK_LIBMODBUS)

# Our client's header is modbus.h too: the tests name libmodbus's by its
# full path and take only its library from the imported target.
find_file(MARVOK_LIBMODBUS_HEADER modbus.h PATHS ${MARVOK_LIBMODBUS_INCLUDE_DIRS} NO_DEFAULT_PATH REQUIRED)

add_executable(marvok_peers_tests
  ${CMAKE_CURRENT_LIST_DIR}/peers_libmodbus_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/peers_mbpoll_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/peers_tshark_test.cpp)
target_link_libraries(marvok_peers_tests PRIVATE
  marvok_static marvok_test_support ${MARVOK_LIBMODBUS_LINK_LIBRARIES})
target_compile_definitions(marvok_peers_tests PRIVATE
  MARVOK_LIBMODBUS_HEADER="${MARVOK_LIBMODBUS_HEADER}"
  MARVOK_MODBUS_INSTRUMENT="$<TARGET_FILE:marvok_modbus_instrument>"
  MARVOK_MBPOLL="${MARVOK_MBPOLL}" MARVOK_TSHARK="${MARVOK_TSHARK}" MARVOK_DUMPCAP="${MARVOK_DUMPCAP}")
add_dependencies(marvok_peers_tests marvok_modbus_instrument)
gtest_discover_tests(marvok_peers_tests
  TEST_PREFIX "peers."
  PROPERTIES LABELS peers TIMEOUT 90
  DISCOVERY_TIMEOUT 30
  NO_PRETTY_VALUES)
