# Shared part of the MinGW-w64 cross toolchains. Expects QEV_MINGW_PREFIX.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER   ${QEV_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QEV_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER  ${QEV_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QEV_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# CTest runs the Windows binaries under Wine, through a script that tries a
# start again when Wine could not start the program at all.
find_program(QEV_WINE wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
