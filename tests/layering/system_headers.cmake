# Fails when a file of the program outside the operating-system layers
# (engine/platform/posix, engine/platform/win32) includes a header that only
# one family of systems has: everything else builds on every platform.
#   cmake -DSOURCE_DIR=<repository> -P system_headers.cmake
if(NOT SOURCE_DIR)
  message(FATAL_ERROR "SOURCE_DIR is not set")
endif()

# Headers of POSIX systems, of Linux, and of Windows.
set(forbidden
  "unistd\\.h" "fcntl\\.h" "sys/[a-z_/]+\\.h" "dirent\\.h" "pwd\\.h" "grp\\.h" "termios\\.h"
  "signal\\.h" "pthread\\.h" "poll\\.h" "dlfcn\\.h" "spawn\\.h" "semaphore\\.h" "syslog\\.h"
  "linux/[a-z_/]+\\.h" "scsi/[a-z_/]+\\.h" "netinet/[a-z_]+\\.h" "arpa/[a-z_]+\\.h"
  "windows\\.h" "winioctl\\.h" "ntddscsi\\.h" "ntddcdrm\\.h" "winbase\\.h" "winnt\\.h" "io\\.h"
  "direct\\.h" "process\\.h" "sddl\\.h" "shlobj\\.h" "winsock2?\\.h" "aclapi\\.h" "conio\\.h")
list(JOIN forbidden "|" alternatives)
set(pattern "#[ \t]*include[ \t]*<(${alternatives})>")

file(GLOB_RECURSE sources
  ${SOURCE_DIR}/engine/*.h ${SOURCE_DIR}/engine/*.cpp
  ${SOURCE_DIR}/cli/*.h ${SOURCE_DIR}/cli/*.cpp
  ${SOURCE_DIR}/shell/*.h ${SOURCE_DIR}/shell/*.cpp)
list(FILTER sources EXCLUDE REGEX "/engine/platform/(posix|win32)/")
list(LENGTH sources count)
if(count LESS 50)
  message(FATAL_ERROR "only ${count} source files found under ${SOURCE_DIR}: wrong folder?")
endif()

set(offenders "")
foreach(source ${sources})
  file(STRINGS ${source} lines REGEX "#[ \t]*include[ \t]*<")
  foreach(line ${lines})
    string(TOLOWER "${line}" lowered)
    if(lowered MATCHES "${pattern}")
      file(RELATIVE_PATH shown ${SOURCE_DIR} ${source})
      list(APPEND offenders "${shown}: ${line}")
    endif()
  endforeach()
endforeach()
if(offenders)
  list(JOIN offenders "\n  " listed)
  message(FATAL_ERROR "system-specific headers outside engine/platform/posix and engine/platform/win32 "
                      "(move the call behind a function of engine/platform):\n  ${listed}")
endif()
message(STATUS "${count} files checked; no system-specific header outside the platform layers")
