# vesk_add_test(name SOURCES a.cpp b.cpp [LIBS ...] [LABELS ...] [GUI] [TIMEOUT s] [LAUNCHER program ...])
# Declares one GoogleTest program and registers it with CTest, so every test is set up the same way.
function(vesk_add_test name)
  cmake_parse_arguments(T "GUI" "TIMEOUT" "SOURCES;LIBS;LABELS;LAUNCHER" ${ARGN})
  # Every test program gets the one test main; GUI tests get an application object with windows.
  add_executable(${name} ${T_SOURCES} ${PROJECT_SOURCE_DIR}/tests/support/TestMain.cpp)
  target_link_libraries(${name} PRIVATE vesk_settings vesk_testsupport GTest::gtest GTest::gmock ${T_LIBS})
  if(T_GUI)
    target_link_libraries(${name} PRIVATE vesk_gui)
    target_compile_definitions(${name} PRIVATE VESK_TEST_GUI)
  endif()
  # LAUNCHER: what CTest starts the test under (dbus-run-session --, say).
  add_test(NAME ${name} COMMAND ${T_LAUNCHER} $<TARGET_FILE:${name}>)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set(labels unit)
  if(T_LABELS)
    set(labels ${T_LABELS})
  endif()
  set(env "QT_QPA_PLATFORM=offscreen" "VESK_BUILD_DIR=${CMAKE_BINARY_DIR}" "VESK_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
          "VESK_TOOLS_DIR=${CMAKE_BINARY_DIR}/bin")
  if(VESK_TEST_PRELOAD)
    add_dependencies(${name} ${VESK_TEST_PRELOAD})
    list(APPEND env "LD_PRELOAD=$<TARGET_FILE:${VESK_TEST_PRELOAD}>")
    if(T_GUI)
      list(APPEND env "TSAN_OPTIONS=${VESK_TSAN_GUI_OPTIONS}")
    endif()
  endif()
  # No test reaches the desktop's session bus (the programs it starts would notify there).
  set_tests_properties(${name} PROPERTIES LABELS "${labels}" TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${env}"
                       ENVIRONMENT_MODIFICATION "DBUS_SESSION_BUS_ADDRESS=unset:")
endfunction()

# vesk_add_corpus_test(name fuzzer.cpp corpus [LIBS ...]): every seed of fuzz/corpus/<corpus>/ goes
# through the fuzz target's own checks on every build, with or without a fuzzing compiler.
function(vesk_add_corpus_test name fuzzer corpus)
  cmake_parse_arguments(C "" "" "LIBS" ${ARGN})
  vesk_add_test(${name} SOURCES ${PROJECT_SOURCE_DIR}/fuzz/CorpusReplayTest.cpp ${PROJECT_SOURCE_DIR}/fuzz/${fuzzer}
                LIBS ${C_LIBS})
  target_compile_definitions(${name} PRIVATE VESK_CORPUS_DIR="${PROJECT_SOURCE_DIR}/fuzz/corpus/${corpus}")
endfunction()
