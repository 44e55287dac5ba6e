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
# The build's programs run under Wine through one launcher, written into the
# build folder (wine-run.sh.in): CTest's emulator, also used by the scripts.
# Its prefix is QEV_WINE_PREFIX, by default in the build folder; the presets
# share one between the Windows builds.
find_program(QEV_WINE wine REQUIRED)
cmake_path(GET QEV_WINE PARENT_PATH _qev_wine_dir)
find_program(QEV_WINESERVER wineserver PATHS ${_qev_wine_dir} NO_DEFAULT_PATH REQUIRED)
set(QEV_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix CACHE PATH "The Wine prefix the build's programs run in")
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
get_property(_qev_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT _qev_try_compile)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${CMAKE_CROSSCOMPILING_EMULATOR} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
endif()
