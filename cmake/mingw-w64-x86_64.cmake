# Cross-builds the Windows exe on Linux with MinGW-w64 (posix threads model,
# which std::thread and std::mutex need with GCC 12) and runs what it
# builds (tests, test discovery) under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(SIMRELAY_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${SIMRELAY_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SIMRELAY_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${SIMRELAY_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${SIMRELAY_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A prefix of the build's own keeps Wine away from the user's ~/.wine.
# Creating it takes several seconds, so .ci/windows-lane makes it once
# (wineboot -i) before the tests start. Wine's other settings are in
# wine.env, which the lanes read too.
set(SIMRELAY_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH "Wine prefix for running tests")
file(STRINGS "${CMAKE_CURRENT_LIST_DIR}/wine.env" SIMRELAY_WINE_ENV REGEX "^[A-Z_]+=")
set(CMAKE_CROSSCOMPILING_EMULATOR env ${SIMRELAY_WINE_ENV} "WINEPREFIX=${SIMRELAY_WINEPREFIX}" wine)
