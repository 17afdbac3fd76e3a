# sc_add_qtest(<name> SOURCES <files...> LIBS <targets...> [TIMEOUT <seconds>])
# One QtTest executable registered with CTest, headless, with its own settings folder
# and session log folder, so that no test reads or writes the operator's real Switcher.ini or log.
function(sc_add_qtest name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE Qt6::Test ${T_LIBS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  set(cfg ${CMAKE_CURRENT_BINARY_DIR}/${name}.config)
  set_tests_properties(${name} PROPERTIES
    TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;SWITCHER_CONFIG_DIR=${cfg};SWITCHER_LOG_DIR=${CMAKE_CURRENT_BINARY_DIR}/${name}.log;ASAN_OPTIONS=detect_leaks=1:abort_on_error=1;UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
endfunction()

# Adds every sub-folder of the current folder that has a CMakeLists.txt.
function(sc_add_subfolders)
  file(GLOB children LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT children)
  foreach(child ${children})
    if(IS_DIRECTORY ${child} AND EXISTS ${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()
