# The install tree and the archives. The tree is relocatable: the exported
# targets and the pkg-config file name their files relative to themselves,
# and on Linux the libraries and the tools find each other through $ORIGIN.
#   bin/                  Windows: the packages, the x86 runtime DLLs; the tools
#                         (qev-inspect, qev-design, the benchmark qev-bench)
#   lib/                  Windows: import libraries; Linux: the shared libraries
#   include/QevTimer/     the public headers (the stand-in's and the timer's)
#   lib/cmake/QevTimer/   the CMake package configuration
#   lib/pkgconfig/        qevtimer.pc
#   share/doc/qevtimer/   README.md, LICENSE
# On Linux cpack also makes a Debian package of the same tree under /usr.
include(CMakePackageConfigHelpers)

set(_targets qev_rtl qev_vcl qev_package)
if(TARGET qev_package_import_x86)
  list(APPEND _targets qev_package_import_x86)
endif()
install(TARGETS ${_targets} EXPORT QevTimerTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/host/include/ ${PROJECT_SOURCE_DIR}/timer/include/
        DESTINATION ${QEV_INSTALL_INCLUDEDIR})
if(QEV_RUNTIME_DLLS)
  install(FILES ${QEV_RUNTIME_DLLS} DESTINATION ${CMAKE_INSTALL_BINDIR})
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
  install(TARGETS ${_tools} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(_config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/QevTimer)
install(EXPORT QevTimerTargets NAMESPACE qev:: DESTINATION ${_config_dir})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/QevTimerConfig.cmake.in
  ${PROJECT_BINARY_DIR}/QevTimerConfig.cmake INSTALL_DESTINATION ${_config_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QevTimerConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QevTimerConfig.cmake ${PROJECT_BINARY_DIR}/QevTimerConfigVersion.cmake
        DESTINATION ${_config_dir})

# pkg-config: qevtimer.pc finds the prefix from its own folder. It links
# what qev::QevTimerPack links (on x86 with its import part) and the options
# qev::rtl passes on (the runtime choice on Windows).
file(RELATIVE_PATH _pc_to_prefix ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" _pc_to_prefix "${_pc_to_prefix}")
list(TRANSFORM QEV_RUNTIME_LINK_OPTIONS PREPEND " " OUTPUT_VARIABLE _pc_link_options)
list(JOIN _pc_link_options "" _pc_link_options)
set(_pc_package_libs "-l$<TARGET_FILE_BASE_NAME:qev_package>")
if(TARGET qev_package_import_x86)
  string(APPEND _pc_package_libs " -l$<TARGET_FILE_BASE_NAME:qev_package_import_x86>")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/qevtimer.pc.in ${PROJECT_BINARY_DIR}/qevtimer.pc.in @ONLY)
file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/qevtimer.pc INPUT ${PROJECT_BINARY_DIR}/qevtimer.pc.in)
install(FILES ${PROJECT_BINARY_DIR}/qevtimer.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# cpack: QevTimer-<version>-<target>.zip (Windows) or .tar.gz (Linux), one
# folder of the same name holding the install tree, its binaries stripped of
# their debugging information (as `cmake --install --strip` installs them).
# QEV_ARCHIVE_FILE and QEV_DEB_FILE name what cpack makes (QEV_DEB_FILE is
# empty where Debian's tools are missing).
if(QEV_PLATFORM STREQUAL "win")
  set(CPACK_GENERATOR ZIP)
  set(QEV_ARCHIVE_FILE QevTimer-${PROJECT_VERSION}-${QEV_TARGET}.zip)
else()
  set(CPACK_GENERATOR TGZ)
  set(QEV_ARCHIVE_FILE QevTimer-${PROJECT_VERSION}-${QEV_TARGET}.tar.gz)
endif()
set(QEV_DEB_FILE "")
find_program(QEV_DPKG dpkg)
find_program(QEV_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(NOT QEV_PLATFORM STREQUAL "win" AND QEV_DPKG AND QEV_DPKG_SHLIBDEPS)
  list(APPEND CPACK_GENERATOR DEB)
  execute_process(COMMAND ${QEV_DPKG} --print-architecture OUTPUT_VARIABLE _deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(QEV_DEB_FILE qevtimer_${PROJECT_VERSION}-1_${_deb_arch}.deb)
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

# The Debian package (QEV_DEB_FILE): the same tree under
# /usr, plus the copyright file and the changelog that Debian asks for
# (QevDebian.cmake writes them into the package only). The libraries carry
# no version in their names: each release replaces them.
set(CPACK_DEBIAN_PACKAGE_NAME qevtimer)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME ${QEV_DEB_FILE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "QevTimer developers <qevtimer@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "TQevTimer ticks at a fixed interval from a worker thread and, when asked,
hands each tick over to the main thread. This package holds the runtime
package QevTimerPack, the small stand-in for the host framework it needs,
the headers, the CMake and pkg-config files, and the tools qev-inspect,
qev-design and qev-bench, which measures the timer's precision on this
machine.")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The libraries live in a folder the dynamic linker caches.
file(WRITE ${PROJECT_BINARY_DIR}/debian/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_QEV_DEBIAN_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/QevDebian.cmake)
set(CPACK_QEV_DEBIAN_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/QevCPackOptions.cmake)
include(CPack)
