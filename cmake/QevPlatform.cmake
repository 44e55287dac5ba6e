# Target facts that the rest of the build reads: the framework release that a
# build links against, the runtime flags of each target, warnings, sanitizers.

if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(QEV_TARGET win64)
    set(QEV_FRAMEWORK_RELEASE 200)
  else()
    set(QEV_TARGET win32)
    set(QEV_FRAMEWORK_RELEASE 250)
  endif()
else()
  set(QEV_TARGET linux)
  set(QEV_FRAMEWORK_RELEASE "")
endif()

add_library(qev_options INTERFACE)
target_compile_options(qev_options INTERFACE -Wall -Wextra)
if(QEV_WERROR)
  target_compile_options(qev_options INTERFACE -Werror)
endif()

if(QEV_SANITIZE STREQUAL "thread")
  target_compile_options(qev_options INTERFACE -fsanitize=thread -g -O1)
  target_link_options(qev_options INTERFACE -fsanitize=thread)
elseif(QEV_SANITIZE STREQUAL "address")
  # No vptr check: it needs the C++ type_info of every polymorphic class, and
  # the package exports only its listed names.
  target_compile_options(qev_options INTERFACE
    -fsanitize=address,undefined -fno-sanitize=vptr -fno-sanitize-recover=undefined
    -fno-omit-frame-pointer -g -O1)
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
# the binaries.
if(QEV_TARGET STREQUAL "win64")
  target_link_options(qev_options INTERFACE -static)
elseif(QEV_TARGET STREQUAL "win32")
  target_link_options(qev_options INTERFACE -static-libstdc++ -shared-libgcc)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libgcc_s_dw2-1.dll
                  OUTPUT_VARIABLE _gcc_dll OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(QEV_RUNTIME_DLLS ${_gcc_dll} /usr/i686-w64-mingw32/lib/libwinpthread-1.dll)
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
  file(COPY ${QEV_RUNTIME_DLLS} DESTINATION ${CMAKE_BINARY_DIR}/bin)
endif()

# Names a Windows module the framework's way: PREFIX "", SUFFIX .bpl.
function(qev_package_name target name)
  if(WIN32)
    set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${name} SUFFIX .bpl
                                               IMPORT_PREFIX lib IMPORT_SUFFIX .a)
  else()
    set_target_properties(${target} PROPERTIES PREFIX "lib" OUTPUT_NAME ${name})
  endif()
endfunction()
