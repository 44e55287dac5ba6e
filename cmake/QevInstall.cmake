# The install tree and the archives. The tree is relocatable: the exported
# targets and the pkg-config file name their files relative to themselves,
# and on Linux the libraries and the tools find each other through $ORIGIN.
#   bin/                  Windows: the packages, the x86 runtime DLLs; the tools
#                         (qev-inspect, qev-design, the benchmark qev-bench)
#   lib/                  Windows: import libraries; Linux: the shared libraries
#   include/QevTimer/     the public headers (the stand-in's and the timer's)
#   lib/cmake/QevTimer/   the CMake package configuration
#   lib/pkgconfig/        qevtimer.pc
#   share/doc/qevtimer/   README.md, LICENSE, docs/ and examples/ (which the
#                         README links to)
#   share/man/man1/       Linux: a manual page per tool
# On Linux cpack also makes Debian packages of the same files under /usr,
# split and placed as Debian has them (QevDebian.cmake): a second install set,
# left out of a plain install and of the archive.
include(CMakePackageConfigHelpers)

set(_targets qev_rtl qev_vcl qev_package)
if(TARGET qev_package_import_x86)
  list(APPEND _targets qev_package_import_x86)
endif()
set(_tools "")
if(QEV_BUILD_TOOLS)
  list(APPEND _tools qev_inspect qev_design)
endif()
if(TARGET qev-bench)
  list(APPEND _tools qev-bench)
endif()
if(_tools)
  # The tools look for the libraries in the library folder, wherever the tree is.
  file(RELATIVE_PATH _bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  set_target_properties(${_tools} PROPERTIES INSTALL_RPATH "$ORIGIN/${_bin_to_lib}")
endif()

# A manual page per tool on Linux, made from its --help (QevManPage.cmake).
set(_man_pages "")
if(NOT WIN32)
  set(_summary_qev_inspect "print the identity table, resources and exports of a QevTimer package")
  set(_summary_qev_design "register the components of a QevTimer package and set their properties")
  set(_summary_qev-bench "measure how late the ticks of TQevTimer come on this machine")
  foreach(tool IN LISTS _tools)
    get_target_property(name ${tool} OUTPUT_NAME)
    if(NOT name)
      set(name ${tool})
    endif()
    set(page ${PROJECT_BINARY_DIR}/man/${name}.1.gz)
    add_custom_command(OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -DTOOL=$<TARGET_FILE:${tool}> -DNAME=${name} "-DSUMMARY=${_summary_${tool}}"
              -DVERSION=${PROJECT_VERSION} -DOUTPUT=${page} -P ${CMAKE_CURRENT_LIST_DIR}/QevManPage.cmake
      DEPENDS ${tool} ${CMAKE_CURRENT_LIST_DIR}/QevManPage.cmake
      COMMENT "Manual page of ${name}" VERBATIM)
    list(APPEND _man_pages ${page})
  endforeach()
  add_custom_target(qev_man_pages ALL DEPENDS ${_man_pages})
endif()

# pkg-config: qevtimer.pc finds the prefix from its own folder. It links
# what qev::QevTimerPack links (on x86 with its import part) and the options
# qev::rtl passes on (the runtime choice on Windows).
list(TRANSFORM QEV_RUNTIME_LINK_OPTIONS PREPEND " " OUTPUT_VARIABLE _pc_link_options)
list(JOIN _pc_link_options "" _pc_link_options)
set(_pc_package_libs "-l$<TARGET_FILE_BASE_NAME:qev_package>")
if(TARGET qev_package_import_x86)
  string(APPEND _pc_package_libs " -l$<TARGET_FILE_BASE_NAME:qev_package_import_x86>")
endif()

# One install set: every file of the tree, with the library folder `LIBDIR`
# and the documents in `DOCDIR`, the exported targets in the export set
# `EXPORT`; the runtime files in component `RUNTIME`, the headers, the links
# and the package files in `DEVELOPMENT`, the tools in `TOOLS`. With
# EXCLUDE_FROM_ALL only an install of those components installs it.
function(qev_install_set)
  cmake_parse_arguments(arg "EXCLUDE_FROM_ALL" "EXPORT;LIBDIR;DOCDIR;RUNTIME;DEVELOPMENT;TOOLS" "" ${ARGN})
  set(only "")
  if(arg_EXCLUDE_FROM_ALL)
    set(only EXCLUDE_FROM_ALL)
  endif()
  set(dev COMPONENT ${arg_DEVELOPMENT} ${only})
  install(TARGETS ${_targets} EXPORT ${arg_EXPORT}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${arg_RUNTIME} ${only}
    LIBRARY DESTINATION ${arg_LIBDIR} COMPONENT ${arg_RUNTIME} NAMELINK_COMPONENT ${arg_DEVELOPMENT} ${only}
    ARCHIVE DESTINATION ${arg_LIBDIR} ${dev})
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/host/include/ ${PROJECT_SOURCE_DIR}/timer/include/
          DESTINATION ${QEV_INSTALL_INCLUDEDIR} ${dev})
  if(QEV_RUNTIME_DLLS)
    install(FILES ${QEV_RUNTIME_DLLS} DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${arg_RUNTIME} ${only})
  endif()
  if(_tools)
    install(TARGETS ${_tools} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${arg_TOOLS} ${only})
  endif()
  if(_man_pages)
    install(FILES ${_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${arg_TOOLS} ${only})
  endif()
  # The README, and what its links lead to, in the same places relative to it.
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${arg_DOCDIR} ${dev})
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs ${PROJECT_SOURCE_DIR}/examples DESTINATION ${arg_DOCDIR} ${dev})
  # The benchmark results that docs/ shows, beside it as in the source tree.
  file(GLOB docs ${PROJECT_SOURCE_DIR}/docs/*.md)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${docs})
  foreach(doc IN LISTS docs)
    file(STRINGS ${doc} lines REGEX "\\]\\(\\.\\./bench/results/")
    string(REGEX MATCHALL "\\.\\./bench/results/[^)# ]+" shown "${lines}")
    foreach(file IN LISTS shown)
      string(REGEX REPLACE "^\\.\\./" "" file ${file})
      cmake_path(GET file PARENT_PATH folder)
      install(FILES ${PROJECT_SOURCE_DIR}/${file} DESTINATION ${arg_DOCDIR}/${folder} ${dev})
    endforeach()
  endforeach()

  set(config_dir ${arg_LIBDIR}/cmake/QevTimer)
  install(EXPORT ${arg_EXPORT} NAMESPACE qev:: FILE QevTimerTargets.cmake DESTINATION ${config_dir} ${dev})
  set(out ${PROJECT_BINARY_DIR}/${arg_EXPORT})
  configure_package_config_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/QevTimerConfig.cmake.in
    ${out}/QevTimerConfig.cmake INSTALL_DESTINATION ${config_dir})
  write_basic_package_version_file(${out}/QevTimerConfigVersion.cmake COMPATIBILITY SameMajorVersion)
  install(FILES ${out}/QevTimerConfig.cmake ${out}/QevTimerConfigVersion.cmake DESTINATION ${config_dir} ${dev})

  # Read by qevtimer.pc.in.
  set(_pc_libdir ${arg_LIBDIR})
  file(RELATIVE_PATH _pc_to_prefix ${CMAKE_INSTALL_PREFIX}/${_pc_libdir}/pkgconfig ${CMAKE_INSTALL_PREFIX})
  string(REGEX REPLACE "/$" "" _pc_to_prefix "${_pc_to_prefix}")
  configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/qevtimer.pc.in ${out}/qevtimer.pc.in @ONLY)
  file(GENERATE OUTPUT ${out}/qevtimer.pc INPUT ${out}/qevtimer.pc.in)
  install(FILES ${out}/qevtimer.pc DESTINATION ${_pc_libdir}/pkgconfig ${dev})
endfunction()

# The tree: everything in the default component.
qev_install_set(EXPORT QevTimerTargets LIBDIR ${CMAKE_INSTALL_LIBDIR} DOCDIR ${CMAKE_INSTALL_DOCDIR}
                RUNTIME Unspecified DEVELOPMENT Unspecified TOOLS Unspecified)

# cpack: QevTimer-<version>-<target>.zip (Windows) or .tar.gz (Linux), one
# folder of the same name holding the install tree, its binaries stripped of
# their debugging information (as `cmake --install --strip` installs them).
# QEV_ARCHIVE_FILE and QEV_DEB_FILES name what cpack makes (QEV_DEB_FILES is
# empty where Debian's tools are missing).
if(QEV_PLATFORM STREQUAL "win")
  set(CPACK_GENERATOR ZIP)
  set(QEV_ARCHIVE_FILE QevTimer-${PROJECT_VERSION}-${QEV_TARGET}.zip)
else()
  set(CPACK_GENERATOR TGZ)
  set(QEV_ARCHIVE_FILE QevTimer-${PROJECT_VERSION}-${QEV_TARGET}.tar.gz)
endif()
set(CPACK_PACKAGE_NAME QevTimer)
set(CPACK_PACKAGE_VENDOR "QevTimer developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
string(REGEX REPLACE "\\.(zip|tar\\.gz)$" "" CPACK_PACKAGE_FILE_NAME ${QEV_ARCHIVE_FILE})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "precise periodic timer component TQevTimer for C++20")

set(QEV_DEB_FILES "")
set(QEV_DEB_PACKAGES "")
find_program(QEV_DPKG dpkg)
find_program(QEV_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(NOT QEV_PLATFORM STREQUAL "win" AND QEV_DPKG AND QEV_DPKG_SHLIBDEPS)
  include(QevDebian)
endif()
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/QevCPackOptions.cmake)
include(CPack)
