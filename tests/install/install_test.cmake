# Installs the library into a scratch prefix and builds tests/install against
# it, with both the CMake package and pkg-config.
add_test(NAME install.package
  COMMAND ${CMAKE_COMMAND}
    -DBUILD_DIR=${PROJECT_BINARY_DIR}
    -DSOURCE_DIR=${CMAKE_CURRENT_SOURCE_DIR}/install
    -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/install_check
    -DCXX=${CMAKE_CXX_COMPILER}
    -DSANITIZE=${TVK_SANITIZE}
    -P ${CMAKE_CURRENT_SOURCE_DIR}/install/run_install_check.cmake)
set_tests_properties(install.package PROPERTIES LABELS install TIMEOUT 600)
