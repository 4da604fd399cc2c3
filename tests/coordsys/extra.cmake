# The deepest render level is read once per process, so each setting value needs
# its own process: the edges of 1..27 (the default is checked in tvk_test_coordsys).
add_executable(tvk_test_coordsys_maxlevel ${CMAKE_CURRENT_SOURCE_DIR}/coordsys/maxlevel/maxlevel_main.cpp)
target_link_libraries(tvk_test_coordsys_maxlevel PRIVATE tvk)
target_compile_options(tvk_test_coordsys_maxlevel PRIVATE -Wall -Wextra)

function(tvk_maxlevel_test name expected)
  add_test(NAME CoordSysMaxRenderLevel.${name} COMMAND tvk_test_coordsys_maxlevel ${ARGN})
  set_tests_properties(CoordSysMaxRenderLevel.${name} PROPERTIES
    PASS_REGULAR_EXPRESSION "^MaxRenderLevel=${expected}\n$" LABELS coordsys)
endfunction()

tvk_maxlevel_test(TwentySeven 27 27)
tvk_maxlevel_test(One 1 1)
tvk_maxlevel_test(TwentyEight 22 28)
tvk_maxlevel_test(Zero 22 0)
