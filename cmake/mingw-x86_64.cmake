# Cross-build for 64-bit Windows with mingw-w64 (posix thread model, which
# GoogleTest needs). The runtime libraries are linked statically so that the
# programs run under Wine without looking for mingw DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
# ctest runs the programs under Wine's 64-bit loader. Start Wine's server
# before ctest (see scripts/windows-check): a server first started from inside
# ctest hangs it.
find_program(VEILNOX_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(VEILNOX_WINE64 NAMES wine64 wine)
if(VEILNOX_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VEILNOX_WINE64})
endif()
