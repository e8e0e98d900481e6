# The installed tree and the packages: cmake --install into a fresh prefix
# with hosts built against it (find_package) and run against a simulated
# instrument; the Debian package's contents; the Windows zip when the
# Windows builds are known. Driven by tests/install/check_install.py.
if(NOT TARGET marvok-sim OR NOT TARGET marvok-read)
  return()
endif()

find_program(MARVOK_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(MARVOK_PYTHON3 python3)
set(check ${MARVOK_PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/install/check_install.py)
set(tools --cmake ${CMAKE_COMMAND} --cpack ${CMAKE_CPACK_COMMAND})
set(work ${CMAKE_CURRENT_BINARY_DIR}/install-check)

# A sanitized library needs sanitized hosts.
if(MARVOK_SANITIZE)
  set(host_flags "-fsanitize=address,undefined")
endif()
add_test(NAME install.tree
  COMMAND ${check} tree ${tools} --build ${CMAKE_BINARY_DIR} --work ${work}/tree
    --generator ${CMAKE_GENERATOR} --cc ${CMAKE_C_COMPILER} "--cflags=${host_flags}")
add_test(NAME install.deb
  COMMAND ${check} deb ${tools} --build ${CMAKE_BINARY_DIR} --work ${work}/deb
    --version ${PROJECT_VERSION})
set(install_tests install.tree install.deb)

# The top-level CMakeLists writes the zip's configuration when both Windows
# builds are known, from these variables.
if((MARVOK_WIN64_BIN AND MARVOK_WIN32_BIN) OR
   (MARVOK_PACKAGE_WIN64_BUILD AND MARVOK_PACKAGE_WIN32_BUILD))
  add_test(NAME install.windows_zip
    COMMAND ${check} zip ${tools} --config ${CMAKE_BINARY_DIR}/CPackConfig-windows.cmake
      --work ${work}/zip --version ${PROJECT_VERSION})
  list(APPEND install_tests install.windows_zip)
endif()
set_tests_properties(${install_tests} PROPERTIES LABELS install TIMEOUT 300)
