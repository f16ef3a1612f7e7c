# Cross-building for 64-bit Windows with Debian's mingw-w64 (the POSIX
# thread model, for std::thread and std::mutex). The runtime libraries are
# linked in, so the DLL and the programs need nothing beside themselves.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TARVELIN_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TARVELIN_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARVELIN_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TARVELIN_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TARVELIN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
# Tests run the programs under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
