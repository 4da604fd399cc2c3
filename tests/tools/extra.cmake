# The tool tests drive the built `tvk` executable and read PNGs back with libpng.
if(TARGET tvk_test_tools)
  find_package(PNG REQUIRED)
  target_link_libraries(tvk_test_tools PRIVATE PNG::PNG)
  if(TVK_BUILD_TOOLS)
    add_dependencies(tvk_test_tools tvk_cli)
  endif()
endif()
