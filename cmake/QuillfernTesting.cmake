# quillfern_add_test(<name> SOURCES ... [LIBS ...] [LABELS ...] [GUI] [SERIAL] [ENV ...] [TIMEOUT s])
#
# One GoogleTest executable; every test case becomes its own CTest test so
# that skipped cases show up as skipped.  GUI tests get a QApplication on the
# offscreen platform through quillfern_gui_test_main.  Label "unit" marks the
# suites the sanitizer build runs; "e2e" the ones that need Xvfb or root.  SERIAL keeps
# a suite from running beside any other (it changes something the others use).
function(quillfern_add_test name)
  cmake_parse_arguments(T "GUI;SERIAL" "TIMEOUT" "SOURCES;LIBS;LABELS;ENV" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  if(T_GUI)
    target_link_libraries(${name} PRIVATE quillfern_gui_test_main)
    list(APPEND T_ENV "QT_QPA_PLATFORM=offscreen")
  else()
    target_link_libraries(${name} PRIVATE GTest::gtest_main)
  endif()
  target_link_libraries(${name} PRIVATE GTest::gtest GTest::gmock ${T_LIBS})
  target_compile_definitions(${name} PRIVATE
    QUILLFERN_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    QUILLFERN_BINARY_DIR="${PROJECT_BINARY_DIR}")
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  # An empty value would shift every property after it by one, so ENVIRONMENT is only
  # passed when there is one.
  set(props LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT})
  if(T_ENV)
    list(APPEND props ENVIRONMENT "${T_ENV}")
  endif()
  if(T_SERIAL)
    list(APPEND props RUN_SERIAL TRUE)
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES ${props})
endfunction()
