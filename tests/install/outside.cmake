# Steps of the tests in this folder, run with cmake -P (see CMakeLists.txt).
#   STEP=package   install BUILD into WORK/installed, check the tree, pack it
#                  with cpack and compare the archive with the tree, move the
#                  tree to WORK/moved and run the installed tools from there
#   STEP=consumer  configure EXAMPLES against WORK/moved, check that the
#                  consumer build names no file of SOURCE or BUILD, build it
#                  and run its programs
# EMULATOR runs Windows programs (wine); their DLLs come from the prefix's
# bin/ through WINEPATH.
cmake_minimum_required(VERSION 3.25)

# Runs a command, prints its output, fails the test when it fails; the output
# goes to `out` in the caller's scope.
function(qev_run name)
  cmake_parse_arguments(arg "" "WORKING_DIRECTORY" "COMMAND" ${ARGN})
  if(NOT arg_WORKING_DIRECTORY)
    set(arg_WORKING_DIRECTORY ${WORK})
  endif()
  execute_process(COMMAND ${arg_COMMAND} WORKING_DIRECTORY ${arg_WORKING_DIRECTORY}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE output ERROR_VARIABLE output)
  message(STATUS "${name}:\n${output}")
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${name} failed (${rc})")
  endif()
  set(out "${output}" PARENT_SCOPE)
endfunction()

function(qev_expect_match name regex text)
  if(NOT text MATCHES "${regex}")
    message(FATAL_ERROR "${name}: no match for '${regex}'")
  endif()
endfunction()

set(installed ${WORK}/installed)
set(prefix ${WORK}/moved)
if(EMULATOR)
  # The Windows form of the installed bin/, for WINEPATH.
  string(REPLACE "/" "\\" winpath "Z:${prefix}/bin")
  set(ENV{WINEPATH} "${winpath}")
endif()

if(STEP STREQUAL "package")
  file(REMOVE_RECURSE ${WORK})
  file(MAKE_DIRECTORY ${WORK})
  qev_run("install" COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${installed} --strip)
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${installed} ${installed}/*)
  list(SORT files)
  message(STATUS "installed files:\n  ${files}")

  foreach(path IN LISTS EXPECTED)
    if(NOT path IN_LIST files)
      message(FATAL_ERROR "missing from the install tree: ${path}")
    endif()
  endforeach()
  # include/ holds the public headers only.
  file(GLOB headers RELATIVE ${installed}/include ${installed}/include/*)
  foreach(header IN LISTS headers)
    if(NOT header MATCHES "^(System(\\.[A-Za-z]+)*|QevTimer)\\.hpp$")
      message(FATAL_ERROR "not a public header: include/${header}")
    endif()
  endforeach()
  # No installed file names a folder of the build or the sources.
  foreach(dir ${SOURCE} ${BUILD})
    string(REGEX REPLACE "([][+.*()^$?|\\\\])" "\\\\\\1" pattern "${dir}")
    foreach(path IN LISTS files)
      file(STRINGS ${installed}/${path} hits REGEX "${pattern}")
      if(hits)
        message(FATAL_ERROR "${path} names ${dir}")
      endif()
    endforeach()
  endforeach()

  # The archive holds the install tree, in one folder named as the archive.
  qev_run("cpack" COMMAND cpack -B ${WORK}/packages WORKING_DIRECTORY ${BUILD})
  set(archive ${WORK}/packages/${ARCHIVE})
  if(NOT EXISTS ${archive})
    message(FATAL_ERROR "cpack made no ${ARCHIVE}")
  endif()
  qev_run("archive contents" COMMAND ${CMAKE_COMMAND} -E tar tf ${archive})
  string(REGEX REPLACE "\\.(zip|tar\\.gz)$" "" top ${ARCHIVE})
  string(REPLACE "\n" ";" entries "${out}")
  set(packed "")
  foreach(entry IN LISTS entries)
    if(entry STREQUAL "" OR entry MATCHES "/$")
      continue()
    endif()
    if(NOT entry MATCHES "^${top}/(.+)$")
      message(FATAL_ERROR "archive entry outside ${top}/: ${entry}")
    endif()
    list(APPEND packed ${CMAKE_MATCH_1})
  endforeach()
  list(SORT packed)
  if(NOT packed STREQUAL files)
    message(FATAL_ERROR "the archive differs from the install tree:\n  ${packed}\nand\n  ${files}")
  endif()

  # Moved elsewhere, the tree still works: the tools find the packages.
  file(RENAME ${installed} ${prefix})
  qev_run("qev-inspect" COMMAND ${EMULATOR} ${prefix}/${INSPECT} ${PACKAGE} WORKING_DIRECTORY ${prefix})
  qev_expect_match("qev-inspect" "module-type=1 \\(package\\)" "${out}")
  qev_run("qev-design" COMMAND ${EMULATOR} ${prefix}/bin/qev-design${EXE} --set Interval=0.25 --save -
          WORKING_DIRECTORY ${prefix})
  qev_expect_match("qev-design" "object QevTimer1: TQevTimer\r?\n +Interval = 0.25" "${out}")

elseif(STEP STREQUAL "consumer")
  set(consumer ${WORK}/consumer)
  file(REMOVE_RECURSE ${consumer})
  set(args -S ${EXAMPLES} -B ${consumer} -G ${GENERATOR} -DCMAKE_BUILD_TYPE=Release
           "-DCMAKE_CXX_FLAGS=-Wall -Wextra -Werror")
  if(TOOLCHAIN)
    # A cross toolchain searches packages inside its own root only: name the
    # package's folder.
    list(APPEND args -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -DQevTimer_DIR=${prefix}/lib/cmake/QevTimer)
  else()
    list(APPEND args -DCMAKE_PREFIX_PATH=${prefix})
  endif()
  qev_run("configure" COMMAND ${CMAKE_COMMAND} ${args})

  # Apart from its own sources and the toolchain file, the consumer build
  # reads nothing of this project's sources or build.
  file(READ ${consumer}/build.ninja text)
  cmake_path(GET TOOLCHAIN PARENT_PATH toolchains)
  foreach(own ${WORK} ${EXAMPLES} ${toolchains})
    string(REPLACE "${own}" "" text "${text}")
  endforeach()
  foreach(dir ${SOURCE} ${BUILD})
    string(FIND "${text}" "${dir}" at)
    if(at GREATER -1)
      math(EXPR from "${at} - 200")
      string(SUBSTRING "${text}" ${from} 400 context)
      message(FATAL_ERROR "the consumer build names ${dir}:\n${context}")
    endif()
  endforeach()

  qev_run("build" COMMAND ${CMAKE_COMMAND} --build ${consumer})
  qev_run("app" COMMAND ${EMULATOR} ${consumer}/app${EXE})
  qev_expect_match("app" "app: TQevTimer [0-9.]+, [0-9]+ ticks, 0 threads left" "${out}")
  qev_run("main_loop" COMMAND ${EMULATOR} ${consumer}/main_loop${EXE})
  qev_expect_match("main_loop" "0 elsewhere, [0-9]+ wakes, 0 threads left" "${out}")
else()
  message(FATAL_ERROR "STEP is package or consumer")
endif()
