# Cross-builds the native 64-bit Windows program from Linux with Debian's
# mingw-w64 (the POSIX thread model, which std::thread and std::mutex need),
# and runs what was built (the test suite, GoogleTest's listing of it) under
# Wine. Host packages are never found: only the cross root is searched.
#
#   cmake --preset windows        (or -DCMAKE_TOOLCHAIN_FILE=<this file>)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CALVENTO_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${CALVENTO_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CALVENTO_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${CALVENTO_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${CALVENTO_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One executable that needs no DLL but the system's own.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Wine, in a prefix of its own under the build directory, with the locale
# through which it maps file names set to UTF-8, its debug chatter off, and
# no offer to install its .NET and HTML runtimes.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(CALVENTO_WINE NAMES wine wine64)
  if(CALVENTO_WINE)
    set(CALVENTO_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH "Wine prefix the tests run in")
    set(CMAKE_CROSSCOMPILING_EMULATOR
      /usr/bin/env WINEPREFIX=${CALVENTO_WINEPREFIX} WINEDEBUG=-all LC_ALL=C.UTF-8
      WINEDLLOVERRIDES=mscoree,mshtml= ${CALVENTO_WINE}
      CACHE STRING "Runs a built Windows program")
  endif()
endif()
