# Steps of the tests in this folder, run with cmake -P (see CMakeLists.txt).
#   STEP=package   install BUILD into WORK/installed, check the tree (and on
#                  Linux the libraries its binaries need), pack it with cpack
#                  and compare the archive with the tree, move the tree to
#                  WORK/moved and run the installed tools from there
#   STEP=consumer  configure EXAMPLES against WORK/moved, check that the
#                  consumer build names no file of SOURCE or BUILD, build it
#                  and run its programs; build APP with CXX and the flags
#                  pkg-config gives for qevtimer, and run it; on win32 the
#                  same with -static fails to link
#   STEP=bench     run the installed benchmark from WORK/moved
#   STEP=deb       (Linux) the Debian packages cpack made (DEB_FILES, of
#                  DEB_PACKAGES: library, development, tools): their files,
#                  lintian on each; unpacked into WORK/root, the tools run
#                  without the development package; with it, the README's
#                  links, APP built with pkg-config and EXAMPLES with CMake
# BINDIR, LIBDIR, INCLUDEDIR, DOCDIR, CONFIG_DIR and PC_DIR are the tree's
# folders, relative to its top; DEB_LIBDIR the packages' library folder. EMULATOR runs Windows programs (wine); their DLLs come
# from the tree's BINDIR through WINEPATH.
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

# The files under `dir`, relative to it, sorted, into `var`.
function(qev_files var dir)
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${dir} ${dir}/*)
  list(SORT files)
  set(${var} "${files}" PARENT_SCOPE)
endfunction()

# Builds APP as a user of pkg-config does, against the tree at `prefix`,
# and runs it. The shell expands the $(pkg-config ...) of the command line.
function(qev_pkg_config_app name prefix)
  set(ENV{PKG_CONFIG_PATH} ${prefix}/${PC_DIR})
  set(program ${WORK}/${name}${EXE})
  set(line "'${CXX}' -std=c++20 -Wall -Wextra -Werror '${APP}' $(pkg-config --cflags --libs qevtimer) -o '${program}'")
  qev_run("${name}: pkg-config" COMMAND pkg-config --cflags --libs qevtimer)
  qev_expect_match("${name}: pkg-config" "-I${prefix}/${PC_DIR}/[./]*${INCLUDEDIR}( |$)" "${out}")
  qev_run("${name}: ${line}" COMMAND sh -c "${line}")
  if(EMULATOR)
    qev_run("${name}" COMMAND ${EMULATOR} ${program})
  else()
    # A tree outside the linker's search path: the application says where.
    set(ENV{LD_LIBRARY_PATH} ${prefix}/${LIBDIR})
    qev_run("${name}" COMMAND ${program})
    unset(ENV{LD_LIBRARY_PATH})
  endif()
  qev_expect_match("${name}" "app: TQevTimer [0-9.]+, [0-9]+ ticks, 0 threads left" "${out}")
endfunction()

# Every relative link of a Markdown file (`[text](target)`, images too)
# leads to a file or folder beside it; #anchors are left aside. With
# ANY_COUNT a file without relative links passes.
function(qev_check_links file)
  file(READ ${file} text)
  # Each link's target marked, then the square brackets left out: they
  # would keep CMake's list from splitting at semicolons.
  string(REPLACE "](" " @link@ " text "${text}")
  string(REGEX REPLACE "[][]" "" text "${text}")
  string(REGEX MATCHALL " @link@ [^)\n]+\\)" links "${text}")
  set(checked 0)
  foreach(link IN LISTS links)
    string(REGEX REPLACE "^ @link@ ([^)#]*).*\\)$" "\\1" target "${link}")
    if(target STREQUAL "" OR target MATCHES "^[a-z]+:")
      continue()
    endif()
    cmake_path(GET file PARENT_PATH folder)
    if(NOT EXISTS ${folder}/${target})
      message(FATAL_ERROR "${file} links to ${target}, which is not there")
    endif()
    math(EXPR checked "${checked} + 1")
  endforeach()
  if(checked EQUAL 0 AND NOT "ANY_COUNT" IN_LIST ARGN)
    message(FATAL_ERROR "${file}: no relative link found")
  endif()
  message(STATUS "${file}: ${checked} relative links, each to a file there")
endfunction()

# The links of the README in `docdir` and of the docs/ it ships beside it.
function(qev_check_doc_links docdir)
  qev_check_links(${docdir}/README.md)
  file(GLOB docs ${docdir}/docs/*.md)
  foreach(doc IN LISTS docs)
    qev_check_links(${doc} ANY_COUNT)
  endforeach()
endfunction()

string(REPLACE "," ";" DEB_FILES "${DEB_FILES}")
string(REPLACE "," ";" DEB_PACKAGES "${DEB_PACKAGES}")
set(installed ${WORK}/installed)
set(prefix ${WORK}/moved)
if(EMULATOR)
  # The Windows form of the installed bin/, for WINEPATH.
  string(REPLACE "/" "\\" winpath "Z:${prefix}/${BINDIR}")
  set(ENV{WINEPATH} "${winpath}")
endif()

if(STEP STREQUAL "package")
  file(REMOVE_RECURSE ${WORK})
  file(MAKE_DIRECTORY ${WORK})
  qev_run("install" COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${installed} --strip)
  qev_files(files ${installed})
  message(STATUS "installed files:\n  ${files}")

  foreach(path IN LISTS EXPECTED)
    if(NOT path IN_LIST files)
      message(FATAL_ERROR "missing from the install tree: ${path}")
    endif()
  endforeach()
  # The include folder holds the headers' own folder, and that the public
  # headers only.
  cmake_path(GET INCLUDEDIR PARENT_PATH include_top)
  file(GLOB tops RELATIVE ${installed}/${include_top} ${installed}/${include_top}/*)
  cmake_path(GET INCLUDEDIR FILENAME own)
  if(NOT tops STREQUAL own)
    message(FATAL_ERROR "${include_top}/ holds ${tops}, not ${own} alone")
  endif()
  file(GLOB headers RELATIVE ${installed}/${INCLUDEDIR} ${installed}/${INCLUDEDIR}/*)
  foreach(header IN LISTS headers)
    if(NOT header MATCHES "^(System(\\.[A-Za-z]+)*|QevTimer)\\.hpp$")
      message(FATAL_ERROR "not a public header: ${INCLUDEDIR}/${header}")
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
  if(CHECK_ELF)
    # What the installed binaries need, and where they look for it.
    qev_run("libraries needed" COMMAND python3 ${CHECK_ELF} --needed ${READELF} ${installed} ${BINDIR} ${LIBDIR})
  endif()

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
  foreach(deb IN LISTS DEB_FILES)
    if(NOT EXISTS ${WORK}/packages/${deb})
      message(FATAL_ERROR "cpack made no ${deb}")
    endif()
  endforeach()
  # The tree's file list, for the Debian package's check.
  file(WRITE ${WORK}/files.txt "${files}")

  # Moved elsewhere, the tree still works: the tools find the packages.
  file(RENAME ${installed} ${prefix})
  qev_run("qev-inspect" COMMAND ${EMULATOR} ${prefix}/${INSPECT} ${PACKAGE} WORKING_DIRECTORY ${prefix})
  qev_expect_match("qev-inspect" "module-type=1 \\(package\\)" "${out}")
  qev_run("qev-design" COMMAND ${EMULATOR} ${prefix}/${DESIGN} --set Interval=0.25 --save -
          WORKING_DIRECTORY ${prefix})
  qev_expect_match("qev-design" "object QevTimer1: TQevTimer\r?\n +Interval = 0.25" "${out}")
  qev_check_doc_links(${prefix}/${DOCDIR})

elseif(STEP STREQUAL "consumer")
  set(consumer ${WORK}/consumer)
  file(REMOVE_RECURSE ${consumer})
  set(args -S ${EXAMPLES} -B ${consumer} -G ${GENERATOR} -DCMAKE_BUILD_TYPE=Release
           "-DCMAKE_CXX_FLAGS=-Wall -Wextra -Werror")
  if(TOOLCHAIN)
    # A cross toolchain searches packages inside its own root only: name the
    # package's folder.
    list(APPEND args -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -DQevTimer_DIR=${prefix}/${CONFIG_DIR})
  else()
    list(APPEND args -DCMAKE_PREFIX_PATH=${prefix})
  endif()
  qev_run("configure" COMMAND ${CMAKE_COMMAND} ${args})

  # Apart from its own sources and the toolchain file, the consumer build
  # reads nothing of this project's sources or build: no file the generator
  # wrote names them.
  cmake_path(GET TOOLCHAIN PARENT_PATH toolchains)
  qev_files(generated ${consumer})
  foreach(path IN LISTS generated)
    file(READ ${consumer}/${path} text)
    foreach(own ${WORK} ${EXAMPLES} ${toolchains})
      string(REPLACE "${own}" "" text "${text}")
    endforeach()
    foreach(dir ${SOURCE} ${BUILD})
      string(FIND "${text}" "${dir}" at)
      if(at GREATER -1)
        math(EXPR from "${at} - 200")
        if(from LESS 0)
          set(from 0)
        endif()
        string(SUBSTRING "${text}" ${from} 400 context)
        message(FATAL_ERROR "the consumer build's ${path} names ${dir}:\n${context}")
      endif()
    endforeach()
  endforeach()
  list(LENGTH generated count)
  message(STATUS "${count} files of the consumer build name no folder of the project")

  qev_run("build" COMMAND ${CMAKE_COMMAND} --build ${consumer})
  qev_run("app" COMMAND ${EMULATOR} ${consumer}/app${EXE})
  qev_expect_match("app" "app: TQevTimer [0-9.]+, [0-9]+ ticks, 0 threads left" "${out}")
  qev_run("main_loop" COMMAND ${EMULATOR} ${consumer}/main_loop${EXE})
  qev_expect_match("main_loop" "0 elsewhere, [0-9]+ wakes, 0 threads left" "${out}")

  qev_pkg_config_app(app_pkg_config ${prefix})
  if(TARGET_NAME STREQUAL "win32")
    # The same link with -static in place of the shared libgcc, which the
    # packages need the program to share: it fails, and says so.
    qev_run("pkg-config" COMMAND pkg-config --cflags --libs qevtimer)
    string(REPLACE "-static-libstdc++ -shared-libgcc" "-static" flags "${out}")
    if(flags STREQUAL out)
      message(FATAL_ERROR "pkg-config gives no -static-libstdc++ -shared-libgcc: ${out}")
    endif()
    string(STRIP "${flags}" flags)
    set(line "'${CXX}' -std=c++20 '${APP}' ${flags} -o '${WORK}/app_static.exe'")
    execute_process(COMMAND sh -c "${line}" RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    message(STATUS "${line} (exit ${rc}):\n${out}")
    if(rc EQUAL 0)
      message(FATAL_ERROR "a win32 program linked with -static")
    endif()
    qev_expect_match("${line}" "undefined reference to `libgcc_s_dw2_1_dll_iname'" "${out}")
  endif()

elseif(STEP STREQUAL "bench")
  # The benchmark runs from the tree and writes its report and plots: the
  # quick run a user makes, cut to one repeat of fewer ticks so that it takes
  # seconds rather than a minute in every configuration.
  set(bench ${prefix}/${BENCH})
  qev_run("qev-bench --help" COMMAND ${EMULATOR} ${bench} --help)
  qev_expect_match("qev-bench --help" "--out DIR" "${out}")
  set(report ${WORK}/bench-report)
  file(REMOVE_RECURSE ${report})
  file(MAKE_DIRECTORY ${report})
  qev_expect_match("qev-bench --help" "--quick" "${out}")
  set(run --quick --repeats 1 --ticks1 200 --ticks10 50 --count -1)
  set(report_arg ${report})
  if(EMULATOR)
    string(REPLACE "/" "\\" report_arg "Z:${report}")
  endif()
  qev_run("qev-bench ${run}" COMMAND ${EMULATOR} ${bench} ${run} --out ${report_arg})
  file(GLOB plots ${report}/*.svg)
  if(NOT EXISTS ${report}/results.md OR NOT plots)
    qev_files(written ${report})
    message(FATAL_ERROR "qev-bench ${run} wrote [${written}], not results.md and a plot")
  endif()
  file(READ ${report}/results.md results)
  qev_expect_match("results.md" "qev-worker" "${results}")

elseif(STEP STREQUAL "deb")
  # The Debian packages: the tree's files under /usr, the libraries in the
  # multiarch folder, the documents in the development package's folder,
  # each file in the package it belongs to, and every package with its
  # copyright file and changelog.
  list(GET DEB_PACKAGES 0 lib_package)
  list(GET DEB_PACKAGES 1 dev_package)
  file(READ ${WORK}/files.txt files)
  set(expected "")
  foreach(path IN LISTS files)
    string(REGEX REPLACE "^${LIBDIR}/" "${DEB_LIBDIR}/" path "${path}")
    string(REGEX REPLACE "^${DOCDIR}/" "share/doc/${dev_package}/" path "${path}")
    list(APPEND expected ${path})
  endforeach()
  # What each package holds, by the package's place in DEB_PACKAGES.
  set(holds_0 "^(${DEB_LIBDIR}/lib[^/]+\\.so\\.[0-9.]+|share/doc/${lib_package}/.+)$")
  set(holds_1 "^(include/.+|${DEB_LIBDIR}/(lib[^/]+\\.so|cmake/.+|pkgconfig/.+)|share/doc/${dev_package}/.+)$")
  set(holds_2 "^(${BINDIR}/[^/]+|share/man/man1/[^/]+\\.1\\.gz|share/doc/[^/]+-tools/.+)$")
  set(packed "")
  foreach(package deb IN ZIP_LISTS DEB_PACKAGES DEB_FILES)
    list(FIND DEB_PACKAGES ${package} index)
    list(APPEND expected share/doc/${package}/copyright share/doc/${package}/changelog.Debian.gz)
    set(deb ${WORK}/packages/${deb})
    qev_run("dpkg-deb -I ${package}" COMMAND dpkg-deb -I ${deb})
    qev_expect_match("dpkg-deb -I" "Package: ${package}\n" "${out}")
    qev_expect_match("dpkg-deb -I" "Maintainer: QevTimer developers <qevtimer@example.org>" "${out}")
    if(index EQUAL 0)
      qev_expect_match("dpkg-deb -I" "Depends: [^\n]*libc6" "${out}")
    else()
      qev_expect_match("dpkg-deb -I" "Depends: ${lib_package} \\(= " "${out}")
    endif()
    qev_run("dpkg-deb -c ${package}" COMMAND dpkg-deb -c ${deb})
    string(REPLACE "\n" ";" entries "${out}")
    foreach(entry IN LISTS entries)
      if(entry MATCHES "^[-l][^ ]+ [^ ]+ +[0-9]+ [^ ]+ [^ ]+ \\./usr/([^ ]+)( -> .*)?$")
        set(path ${CMAKE_MATCH_1})
        if(NOT path MATCHES "${holds_${index}}")
          message(FATAL_ERROR "${package} holds ${path}, which is not its part")
        endif()
        list(APPEND packed ${path})
      elseif(NOT entry MATCHES "^d" AND NOT entry STREQUAL "")
        message(FATAL_ERROR "not a file under /usr: ${entry}")
      endif()
    endforeach()

    # lintian: nothing beyond the note that a first upload closes no bug.
    if(NOT LINTIAN)
      message(FATAL_ERROR "lintian not found (scripts/setup.sh installs it)")
    endif()
    execute_process(COMMAND ${LINTIAN} ${deb} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE error)
    message(STATUS "lintian ${package} (exit ${rc}):\n${out}${error}")
    string(REGEX MATCHALL "(^|\n)[EW]: [^\n]*" reports "${out}")
    foreach(report IN LISTS reports)
      if(NOT report MATCHES "^\n?W: ${package}: initial-upload-closes-no-bugs ")
        message(FATAL_ERROR "lintian reports on ${package}: ${report}")
      endif()
    endforeach()
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "lintian failed on ${package}")
    endif()
  endforeach()
  list(SORT packed)
  list(SORT expected)
  if(NOT packed STREQUAL expected)
    message(FATAL_ERROR "the Debian packages differ from the install tree:\n  ${packed}\nand\n  ${expected}")
  endif()

  # The runtime without the development package: the tools load the
  # package, and it its required packages, by their sonames.
  set(root ${WORK}/root)
  file(REMOVE_RECURSE ${root})
  list(GET DEB_FILES 1 dev_deb)
  foreach(deb IN LISTS DEB_FILES)
    if(NOT deb STREQUAL dev_deb)
      qev_run("dpkg -x ${deb}" COMMAND dpkg -x ${WORK}/packages/${deb} ${root})
    endif()
  endforeach()
  set(ENV{LD_LIBRARY_PATH} ${root}/usr/${DEB_LIBDIR})
  qev_run("qev-design" COMMAND ${root}/usr/${BINDIR}/qev-design --set Interval=0.25 --save -)
  qev_expect_match("qev-design" "object QevTimer1: TQevTimer\r?\n +Interval = 0.25" "${out}")
  unset(ENV{LD_LIBRARY_PATH})

  # With it, the packages serve pkg-config and CMake users, and the README's
  # links lead to the files they name.
  qev_run("dpkg -x ${dev_deb}" COMMAND dpkg -x ${WORK}/packages/${dev_deb} ${root})
  qev_check_doc_links(${root}/usr/share/doc/${dev_package})
  set(LIBDIR ${DEB_LIBDIR})
  set(PC_DIR ${DEB_LIBDIR}/pkgconfig)
  qev_pkg_config_app(app_deb ${root}/usr)
  set(consumer ${WORK}/consumer-deb)
  file(REMOVE_RECURSE ${consumer})
  qev_run("configure against the packages" COMMAND ${CMAKE_COMMAND} -S ${EXAMPLES} -B ${consumer} -G ${GENERATOR}
          -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH=${root}/usr)
  qev_run("build" COMMAND ${CMAKE_COMMAND} --build ${consumer})
  qev_run("app" COMMAND ${consumer}/app)
  qev_expect_match("app" "app: TQevTimer [0-9.]+, [0-9]+ ticks, 0 threads left" "${out}")
else()
  message(FATAL_ERROR "STEP is package, consumer, bench or deb")
endif()
