# The Windows build's tests, run under Wine, the toolchain's emulator. GoogleTest is not built
# for Windows: the Windows table is a program of its own, and the end-to-end table and the
# interruption cases are the host build's tests (GANTREL_HOST_TESTS) aimed at gantrel.exe.
set(GANTREL_HOST_TESTS "${PROJECT_SOURCE_DIR}/build/ci/tests"
    CACHE PATH "The host build's test programs, which drive gantrel.exe under Wine")
list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " gantrel_wine)
set(gantrel_exe "$<TARGET_FILE:gantrel>")

# Run from an empty folder, with gantrel.exe's path as its argument.
add_executable(gantrel_windows_test windows_test.cpp)
target_link_libraries(gantrel_windows_test PRIVATE gantrel_test_support gantrel_warnings)
target_link_options(gantrel_windows_test PRIVATE -municode)

# Wine makes its prefix on first use; made once, before any test, two tests cannot race for it.
add_test(NAME windows.prefix COMMAND sh -c "${gantrel_wine}boot --init >/dev/null 2>&1 || true")
set_tests_properties(windows.prefix PROPERTIES FIXTURES_SETUP wine)

add_test(NAME windows.table
  COMMAND sh -c "rm -rf scratch && mkdir scratch && cd scratch && \
${gantrel_wine} '$<TARGET_FILE:gantrel_windows_test>' '${gantrel_exe}'")

add_test(NAME windows.cli COMMAND ${GANTREL_HOST_TESTS}/gantrel_cli_tests --gtest_brief=1)
set_tests_properties(windows.cli PROPERTIES
  ENVIRONMENT "GANTREL_COMMAND=${gantrel_wine} ${gantrel_exe};GANTREL_NEWLINE=crlf")

# Ctrl+C and termination aimed at the temporary's life: Ctrl+C leaves nothing, termination only
# the documented window.
add_test(NAME windows.interrupts
  COMMAND ${GANTREL_HOST_TESTS}/gantrel_fault_tests --gtest_filter=WineInterrupts.*
          --gtest_brief=1)
set_tests_properties(windows.interrupts PROPERTIES ENVIRONMENT "GANTREL_WINE_EXE=${gantrel_exe}")

# On a console, messages are written as UTF-16, so a path outside the ANSI code page shows as
# typed; `script` gives Wine a terminal, which it shows as a console.
add_test(NAME windows.console
  COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/windows_console.sh "${gantrel_wine}" "${gantrel_exe}")

# The .zip holds the licence and the README beside gantrel.exe.
add_test(NAME windows.zip
  COMMAND sh ${PROJECT_SOURCE_DIR}/packaging/check.sh zip ${PROJECT_BINARY_DIR}
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})

set_tests_properties(windows.table windows.cli windows.interrupts windows.console PROPERTIES
  FIXTURES_REQUIRED wine LABELS windows)
set_tests_properties(windows.prefix windows.zip PROPERTIES LABELS windows)
