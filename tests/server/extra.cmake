# The server tests reach the component's internals (router, documents,
# responder), parse what it writes (pugixml, nlohmann_json), fetch with
# libcurl, and run the built `tvk serve`.
if(TARGET tvk_test_server)
  find_package(CURL REQUIRED)
  find_package(pugixml CONFIG REQUIRED)
  find_package(nlohmann_json CONFIG REQUIRED)
  find_package(PNG REQUIRED)
  target_link_libraries(tvk_test_server PRIVATE tvk_server_core CURL::libcurl pugixml::pugixml
    nlohmann_json::nlohmann_json PNG::PNG)
  target_compile_definitions(tvk_test_server PRIVATE TVK_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  if(TVK_BUILD_TOOLS)
    add_dependencies(tvk_test_server tvk_cli)
  endif()
endif()
if(TARGET tvk_test_server AND TVK_SANITIZE)
  # Sanitized servers are slower and keep freed memory in quarantine: the
  # load test runs shorter and does not judge memory.
  target_compile_definitions(tvk_test_server PRIVATE TVK_TEST_SANITIZED)
endif()
