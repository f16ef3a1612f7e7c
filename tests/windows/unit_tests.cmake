# The engine's unit tests on Windows: one program of every test file that
# builds there, run under Wine by test.sh. Left out are the folders that
# drive the Linux command-line program or the desktop program (cli, shell),
# and the files that include a POSIX header or the fixtures of the
# command-line tests (they fork, set POSIX modes and time zones, or run the
# peer tools, which are Linux programs).
set(TARVELIN_WINDOWS_TEST_FOLDERS platform core iso writer convert capture)
set(TARVELIN_POSIX_ONLY_INCLUDE
    "#include <(unistd|fcntl|grp|pwd|dirent|dlfcn|signal|iconv)\\.h>|#include <sys/|cli_fixtures\\.h|iso_edit_test_support\\.h|convert_fixtures\\.h|setenv|ScopedZone")

set(TARVELIN_WINDOWS_TEST_SOURCES "")
set(TARVELIN_WINDOWS_TESTS_LEFT_OUT "")
foreach(folder ${TARVELIN_WINDOWS_TEST_FOLDERS})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*_test.cpp)
  foreach(source ${sources})
    file(STRINGS ${source} posixOnly REGEX "${TARVELIN_POSIX_ONLY_INCLUDE}")
    get_filename_component(name ${source} NAME)
    if(posixOnly)
      list(APPEND TARVELIN_WINDOWS_TESTS_LEFT_OUT ${folder}/${name})
    else()
      list(APPEND TARVELIN_WINDOWS_TEST_SOURCES ${source})
    endif()
  endforeach()
endforeach()
# What the Windows layer does that the POSIX one does not.
file(GLOB windowsOnly CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/windows/*_test.cpp)
list(APPEND TARVELIN_WINDOWS_TEST_SOURCES ${windowsOnly})
list(JOIN TARVELIN_WINDOWS_TESTS_LEFT_OUT " " leftOut)
message(STATUS "Windows unit tests leave out (POSIX only): ${leftOut}")

add_executable(tarvelin_windows_tests ${TARVELIN_WINDOWS_TEST_SOURCES})
target_link_libraries(tarvelin_windows_tests PRIVATE tarvelin_test_support GTest::gtest_main tarvelin_warnings)
target_compile_definitions(tarvelin_windows_tests PRIVATE
  TARVELIN_CLI_PATH="$<TARGET_FILE:tarvelin-cli>"
  TARVELIN_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
