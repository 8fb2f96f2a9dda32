# kest_add_test(<name> SOURCES <files...> LIBS <targets...> [LABELS <labels...>])
# One GoogleTest executable; every test case in it becomes its own CTest test.
function(kest_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} kest_flags GTest::gtest GTest::gtest_main
                                        Threads::Threads)
  set(_props "")
  if(T_LABELS)
    # gtest_discover_tests flattens its arguments: keep the label list one value.
    string(REPLACE ";" "\\;" _labels "${T_LABELS}")
    set(_props PROPERTIES LABELS "${_labels}")
  endif()
  gtest_discover_tests(${name} WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
                       DISCOVERY_TIMEOUT 60 ${_props})
endfunction()
