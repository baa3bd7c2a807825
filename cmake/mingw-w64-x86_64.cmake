# Cross build for Windows x86-64 with Debian's mingw-w64 (the "-posix" compilers: their
# runtime has std::thread, which GoogleTest and the tests need).  Programs built here run
# under Wine: CTest and gtest_discover_tests start them through the emulator.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZR_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZR_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZR_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ZR_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZR_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Wine runs the programs, through scripts/wine-run.sh (output through files, Wine's failed
# start-ups retried); ZR_WINE overrides where Wine is.
if(DEFINED ENV{ZR_WINE})
  set(ZR_WINE_PROGRAM $ENV{ZR_WINE})
elseif(EXISTS /usr/lib/wine/wine64)
  set(ZR_WINE_PROGRAM /usr/lib/wine/wine64)
else()
  set(ZR_WINE_PROGRAM wine)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh ${ZR_WINE_PROGRAM})

# The compiler's own runtime (libstdc++, libgcc, winpthread) is linked into every program and
# DLL, so a program needs nothing beside it but the project's own DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -Wl,--exclude-libs,ALL")
