# The reference-reader test installs the format's JavaScript library (npm
# package pmtiles) into the build folder once, and runs a script beside it.
if(TARGET tvk_test_pmtiles)
  target_link_libraries(tvk_test_pmtiles PRIVATE nlohmann_json::nlohmann_json)
  target_compile_definitions(tvk_test_pmtiles PRIVATE
    TVK_TEST_NPM_DIR="${CMAKE_BINARY_DIR}/tests/npm"
    TVK_TEST_PMTILES_DIR="${CMAKE_CURRENT_SOURCE_DIR}/pmtiles")
endif()
