# Target facts that the rest of the build reads, each decided here once:
#   QEV_PLATFORM   win or posix: the suffix of the platform sources (foo_win.cpp,
#                  foo_posix.cpp)
#   QEV_SYSTEM     win or linux: the suffix of the platform sources that use
#                  one system's own calls (futexes, prctl, gettid, /proc:
#                  foo_linux.cpp); another POSIX system needs its own
#   QEV_TARGET     win64, win32 or linux; the code built here sees it as the
#                  definition QEV_TARGET_<target> (QEV_TARGET_win32 is the x86
#                  build), through qev_options
#   QEV_FRAMEWORK_RELEASE  the framework release a build links against
#   QEV_HOST_LIBRARY_STEM  what the stand-in's library names begin with: nothing
#                  on Windows (rtl200.bpl, the framework's names), "qevtimer-" on
#                  Linux, whose lib/ holds everyone's libraries (libqevtimer-rtl.so)
#   QEV_EMULATED   whether the build's programs run under an emulator here
#                  (the cross toolchains' Wine launcher): tests lengthen
#                  their deadlines and shorten their loads
# and the runtime flags of each target, warnings, sanitizers.
# Public headers test the compiler's own macros instead (_WIN32, __i386__):
# they describe the calling convention of whatever compiler includes them,
# also in an application that does not build with this project's flags.

if(WIN32)
  set(QEV_PLATFORM win)
  set(QEV_SYSTEM win)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(QEV_TARGET win64)
    set(QEV_FRAMEWORK_RELEASE 200)
  else()
    set(QEV_TARGET win32)
    set(QEV_FRAMEWORK_RELEASE 250)
  endif()
else()
  set(QEV_PLATFORM posix)
  string(TOLOWER ${CMAKE_SYSTEM_NAME} QEV_SYSTEM)
  set(QEV_TARGET linux)
  set(QEV_FRAMEWORK_RELEASE "")
endif()
if(QEV_PLATFORM STREQUAL "win")
  set(QEV_HOST_LIBRARY_STEM "")
else()
  set(QEV_HOST_LIBRARY_STEM qevtimer-)
endif()
if(CMAKE_CROSSCOMPILING_EMULATOR)
  set(QEV_EMULATED ON)
else()
  set(QEV_EMULATED OFF)
endif()

add_library(qev_options INTERFACE)
target_compile_options(qev_options INTERFACE -Wall -Wextra)
target_compile_definitions(qev_options INTERFACE QEV_TARGET_${QEV_TARGET})
if(QEV_WERROR)
  target_compile_options(qev_options INTERFACE -Werror)
endif()

# Sanitized code at -O1 with full debug information; a test program (which
# sets QEV_TEST_PROGRAM) chooses its own.
set(_qev_sanitized_optimize "$<$<NOT:$<BOOL:$<TARGET_PROPERTY:QEV_TEST_PROGRAM>>>:-g;-O1>")
if(QEV_SANITIZE STREQUAL "thread")
  target_compile_options(qev_options INTERFACE -fsanitize=thread "${_qev_sanitized_optimize}")
  target_link_options(qev_options INTERFACE -fsanitize=thread)
elseif(QEV_SANITIZE STREQUAL "address")
  # No vptr check: it needs the C++ type_info of every polymorphic class, and
  # the package exports only its listed names.
  target_compile_options(qev_options INTERFACE
    -fsanitize=address,undefined -fno-sanitize=vptr -fno-sanitize-recover=undefined
    -fno-omit-frame-pointer "${_qev_sanitized_optimize}")
  target_link_options(qev_options INTERFACE -fsanitize=address,undefined)
elseif(QEV_SANITIZE STREQUAL "fuzzer")
  # clang: coverage for libFuzzer everywhere; fuzz targets link -fsanitize=fuzzer.
  target_compile_options(qev_options INTERFACE
    -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g -O1)
  target_link_options(qev_options INTERFACE -fsanitize=address,undefined)
elseif(NOT QEV_SANITIZE STREQUAL "")
  message(FATAL_ERROR "QEV_SANITIZE must be '', 'thread', 'address' or 'fuzzer'")
endif()

# Windows runtime: x86-64 links the C++ runtime statically into every module.
# The i686 toolchain unwinds with DWARF tables, which a statically linked
# libgcc cannot follow across module boundaries, so there every module shares
# libgcc_s_dw2-1.dll (and the libwinpthread-1.dll it needs), copied beside
# the binaries. An application that links the packages must make the same
# choice: qev::rtl passes QEV_RUNTIME_LINK_OPTIONS on to its users.
set(QEV_RUNTIME_LINK_OPTIONS "")
if(QEV_TARGET STREQUAL "win64")
  set(QEV_RUNTIME_LINK_OPTIONS -static)
elseif(QEV_TARGET STREQUAL "win32")
  set(QEV_RUNTIME_LINK_OPTIONS -static-libstdc++ -shared-libgcc)
  # Where the compiler links them from.
  set(QEV_RUNTIME_DLLS "")
  foreach(_dll libgcc_s_dw2-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${_dll}
                    OUTPUT_VARIABLE _path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${_path}" OR NOT EXISTS "${_path}")
      message(FATAL_ERROR "${CMAKE_CXX_COMPILER} knows no ${_dll}")
    endif()
    cmake_path(NORMAL_PATH _path)
    list(APPEND QEV_RUNTIME_DLLS ${_path})
  endforeach()
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
  file(COPY ${QEV_RUNTIME_DLLS} DESTINATION ${CMAKE_BINARY_DIR}/bin)
endif()
target_link_options(qev_options INTERFACE ${QEV_RUNTIME_LINK_OPTIONS})

# Names a Windows module the framework's way: PREFIX "", SUFFIX .bpl.
function(qev_package_name target name)
  if(QEV_PLATFORM STREQUAL "win")
    set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${name} SUFFIX .bpl
                                               IMPORT_PREFIX lib IMPORT_SUFFIX .a)
  else()
    set_target_properties(${target} PROPERTIES PREFIX "lib" OUTPUT_NAME ${name})
  endif()
endfunction()

# Embeds the resources compiled from the script `RC` into `target`. Windows:
# the resource compiler links them in. Elsewhere windres compiles the script
# to a .res file that resources_posix.cpp embeds under "_rsrc", through a
# source generated for this target. DEPENDS: files the script reads;
# INCLUDE: folders it finds them in.
set(QEV_RESOURCES_POSIX_SOURCE ${CMAKE_CURRENT_LIST_DIR}/../package/resources_posix.cpp)
function(qev_embed_resources target)
  cmake_parse_arguments(arg "" "RC" "DEPENDS;INCLUDE" ${ARGN})
  cmake_path(ABSOLUTE_PATH arg_RC)
  if(QEV_PLATFORM STREQUAL "win")
    target_sources(${target} PRIVATE ${arg_RC})
    if(arg_DEPENDS)
      set_source_files_properties(${arg_RC} PROPERTIES OBJECT_DEPENDS "${arg_DEPENDS}")
    endif()
    target_include_directories(${target} PRIVATE ${arg_INCLUDE})
    return()
  endif()
  find_program(QEV_WINDRES NAMES x86_64-w64-mingw32-windres windres REQUIRED)
  set(res ${CMAKE_CURRENT_BINARY_DIR}/${target}.res)
  list(TRANSFORM arg_INCLUDE PREPEND "-I")
  add_custom_command(OUTPUT ${res}
    COMMAND ${QEV_WINDRES} ${arg_INCLUDE} -O res -i ${arg_RC} -o ${res}
    DEPENDS ${arg_RC} ${arg_DEPENDS})
  cmake_path(ABSOLUTE_PATH QEV_RESOURCES_POSIX_SOURCE NORMALIZE OUTPUT_VARIABLE embedder)
  set(embed ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.cpp)
  set(content "#define QEV_RESOURCE_FILE \"${res}\"\n#include \"${embedder}\"\n")
  file(CONFIGURE OUTPUT ${embed} CONTENT "${content}" @ONLY)
  target_sources(${target} PRIVATE ${embed})
  set_source_files_properties(${embed} PROPERTIES OBJECT_DEPENDS ${res})
endfunction()
