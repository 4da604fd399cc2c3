file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed")
endif()
foreach(f include/tvk/tvk.h include/tvk/platform/eString.h lib/pkgconfig/tvk.pc lib/cmake/tvk/tvkConfig.cmake)
  if(NOT EXISTS ${prefix}/${f})
    # Debian puts libraries in a multiarch folder; accept that too.
    string(REPLACE "lib/" "lib/x86_64-linux-gnu/" alt ${f})
    if(NOT EXISTS ${prefix}/${alt})
      message(FATAL_ERROR "not installed: ${f}")
    endif()
  endif()
endforeach()
set(flags "")
if(SANITIZE)
  set(flags "-fsanitize=${SANITIZE}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/build
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX}
    "-DCMAKE_CXX_FLAGS=${flags}" "-DCMAKE_EXE_LINKER_FLAGS=${flags}"
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "consumer configure failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/build RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "consumer build failed")
endif()
execute_process(COMMAND ${WORK_DIR}/build/consumer RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "consumer run failed")
endif()

# The same consumer through pkg-config, compiled by hand.
find_program(PKG_CONFIG pkg-config)
if(PKG_CONFIG)
  file(GLOB_RECURSE pcfile ${prefix}/*/tvk.pc)
  get_filename_component(pcdir "${pcfile}" DIRECTORY)
  set(ENV{PKG_CONFIG_PATH} ${pcdir})
  # The package was configured for another prefix; point pkg-config at the scratch one.
  execute_process(COMMAND ${PKG_CONFIG} --define-variable=prefix=${prefix} --cflags --libs tvk
    OUTPUT_VARIABLE pcflags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "pkg-config does not know tvk")
  endif()
  separate_arguments(pcflags UNIX_COMMAND "${pcflags}")
  separate_arguments(sanflags UNIX_COMMAND "${flags}")
  execute_process(COMMAND ${CXX} -std=c++17 ${sanflags} ${SOURCE_DIR}/consumer.cpp ${pcflags}
      -o ${WORK_DIR}/consumer_pc RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "consumer build through pkg-config failed")
  endif()
  foreach(f ${pcflags})
    if(f MATCHES "^-L(.*)")
      set(ENV{LD_LIBRARY_PATH} ${CMAKE_MATCH_1})
    endif()
  endforeach()
  execute_process(COMMAND ${WORK_DIR}/consumer_pc RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "consumer built through pkg-config failed to run")
  endif()
endif()

# The installed Python module loads from the scratch prefix by itself: it
# finds the library relative to its own folder.
file(GLOB_RECURSE pymodule ${prefix}/*/dist-packages/tvk*.so)
if(pymodule AND NOT SANITIZE)
  get_filename_component(pydir "${pymodule}" DIRECTORY)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH PYTHONPATH=${pydir}
      /usr/bin/python3 -c "import tvk; tvk.Scheme"
    RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "the installed Python module does not load")
  endif()
endif()

# So does the tool.
if(EXISTS ${prefix}/bin/tvk)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ${prefix}/bin/tvk --help
    OUTPUT_QUIET RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "the installed tvk does not run")
  endif()
endif()
