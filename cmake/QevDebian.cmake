# The Debian packages (included by QevInstall.cmake where dpkg is): the tree's
# files under /usr, split as Debian splits a library, from a second install
# set of their own (components deb_lib, deb_dev, deb_tools, which a plain
# install and the archive leave out):
#   libqevtimerpack1     the three shared libraries (soname version 1) in the
#                        multiarch folder; a shlibs file; ldconfig by trigger
#   libqevtimerpack-dev  the headers, the unversioned links, the CMake package
#                        files and qevtimer.pc; the README with docs/ and
#                        examples/
#   qevtimer-tools       qev-inspect, qev-design, qev-bench and their manual
#                        pages
# Each has Debian's copyright file and changelog in /usr/share/doc/<package>.
# Sets QEV_DEB_PACKAGES, QEV_DEB_FILES (the .deb files, in that order) and
# QEV_DEB_LIBDIR (the library folder under /usr).
execute_process(COMMAND ${QEV_DPKG} --print-architecture OUTPUT_VARIABLE _deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE)
find_program(QEV_DPKG_ARCHITECTURE dpkg-architecture REQUIRED)
execute_process(COMMAND ${QEV_DPKG_ARCHITECTURE} -qDEB_HOST_MULTIARCH
                OUTPUT_VARIABLE _deb_multiarch OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set(_deb_release 1)
set(_deb_version ${PROJECT_VERSION}-${_deb_release})
set(_deb_lib libqevtimerpack${PROJECT_VERSION_MAJOR})
set(_deb_dev libqevtimerpack-dev)
set(_deb_tools qevtimer-tools)
set(QEV_DEB_PACKAGES ${_deb_lib} ${_deb_dev} ${_deb_tools})
set(QEV_DEB_FILES "")
foreach(package IN LISTS QEV_DEB_PACKAGES)
  list(APPEND QEV_DEB_FILES ${package}_${_deb_version}_${_deb_arch}.deb)
endforeach()

set(QEV_DEB_LIBDIR lib/${_deb_multiarch})
qev_install_set(EXPORT QevTimerDebianTargets LIBDIR ${QEV_DEB_LIBDIR} DOCDIR share/doc/${_deb_dev}
                RUNTIME deb_lib DEVELOPMENT deb_dev TOOLS deb_tools EXCLUDE_FROM_ALL)

# --- Per package: copyright and changelog -----------------------------------
set(_deb_maintainer "QevTimer developers <qevtimer@example.org>")
# The licence: its name, a blank line, the copyright line, then the text.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE _license)
if(NOT _license MATCHES "^[^\n]*\n\nCopyright \\(c\\) ([^\n]*)\n\n(.*[^\n])\n*$")
  message(FATAL_ERROR "LICENSE: not the expected layout")
endif()
set(_holders "${CMAKE_MATCH_1}")
# Debian's form: each line indented by one space, a blank line written " .".
string(REPLACE "\n\n" "\n.\n" _license "${CMAKE_MATCH_2}")
string(REPLACE "\n" "\n " _license "${_license}")
# The changelog's date follows SOURCE_DATE_EPOCH.
string(TIMESTAMP _date "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(_deb_out ${PROJECT_BINARY_DIR}/debian)
foreach(component lib dev tools)
  set(package ${_deb_${component}})
  set(doc ${_deb_out}/${package}/doc)
  file(WRITE ${doc}/copyright
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
    "Upstream-Name: QevTimer\n\n"
    "Files: *\n"
    "Copyright: ${_holders}\n"
    "License: Expat\n ${_license}\n")
  file(WRITE ${doc}/changelog.Debian
    "${package} (${_deb_version}) unstable; urgency=medium\n\n"
    "  * QevTimer ${PROJECT_VERSION}.\n\n"
    " -- ${_deb_maintainer}  ${_date}\n")
  execute_process(COMMAND gzip -9nf ${doc}/changelog.Debian COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${doc}/copyright ${doc}/changelog.Debian.gz DESTINATION share/doc/${package}
          COMPONENT deb_${component} EXCLUDE_FROM_ALL)
endforeach()

# --- The library package's control files ------------------------------------
# The dynamic linker's cache is updated by dpkg's trigger, not by scripts.
# shlibs: what a package linked against one of the sonames depends on.
set(_deb_control ${_deb_out}/${_deb_lib}/control)
file(WRITE ${_deb_control}/triggers "activate-noawait ldconfig\n")
set(_shlibs "")
foreach(library qev_rtl qev_vcl qev_package)
  get_target_property(name ${library} OUTPUT_NAME)
  string(APPEND _shlibs "lib${name} ${PROJECT_VERSION_MAJOR} ${_deb_lib} (>= ${PROJECT_VERSION})\n")
endforeach()
file(WRITE ${_deb_control}/shlibs "${_shlibs}")
# The built libraries, whose dependencies QevCPackOptions.cmake finds
# (CPack's own search would add ldconfig calls to the maintainer scripts).
file(GENERATE OUTPUT ${_deb_out}/${_deb_lib}/libraries.txt
     CONTENT "$<TARGET_FILE:qev_rtl>;$<TARGET_FILE:qev_vcl>;$<TARGET_FILE:qev_package>")

# --- CPack --------------------------------------------------------------------
list(APPEND CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_QEV_DEB_COMPONENTS deb_lib deb_dev deb_tools)
set(CPACK_QEV_DEB_LIBRARIES ${_deb_out}/${_deb_lib}/libraries.txt)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${_deb_release})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${_deb_maintainer}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(_about "TQevTimer ticks at a fixed interval from a worker thread and, when asked,
hands each tick over to the main thread, as a component of the runtime
package QevTimerPack, with a small stand-in for the host framework.")

set(CPACK_DEBIAN_DEB_LIB_PACKAGE_NAME ${_deb_lib})
set(CPACK_DEBIAN_DEB_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEB_LIB_DESCRIPTION "precise periodic timer component TQevTimer - runtime
${_about}
This package holds the shared libraries: the package and the stand-in's
rtl and vcl.")
set(CPACK_DEBIAN_DEB_LIB_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_DEB_LIB_PACKAGE_CONTROL_EXTRA ${_deb_control}/triggers ${_deb_control}/shlibs)

set(CPACK_DEBIAN_DEB_DEV_PACKAGE_NAME ${_deb_dev})
set(CPACK_DEBIAN_DEB_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEB_DEV_DESCRIPTION "precise periodic timer component TQevTimer - development files
${_about}
This package holds the headers, the links to the libraries, the CMake
package QevTimer, the pkg-config module qevtimer, the documents and the
examples.")
set(CPACK_DEBIAN_DEB_DEV_PACKAGE_DEPENDS "${_deb_lib} (= ${_deb_version})")
set(CPACK_DEBIAN_DEB_DEV_PACKAGE_SHLIBDEPS OFF)

set(CPACK_DEBIAN_DEB_TOOLS_PACKAGE_NAME ${_deb_tools})
set(CPACK_DEBIAN_DEB_TOOLS_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_DEB_TOOLS_DESCRIPTION "precise periodic timer component TQevTimer - tools
${_about}
This package holds qev-inspect, which reads a package's identity table,
resources and exports, qev-design, which registers a package's
components and sets their properties, and qev-bench, which measures the
timer's precision on this machine.")
set(CPACK_DEBIAN_DEB_TOOLS_PACKAGE_DEPENDS "${_deb_lib} (= ${_deb_version})")
set(CPACK_DEBIAN_DEB_TOOLS_PACKAGE_SHLIBDEPS ON)
# The libraries the tools need are in the library package: dpkg-shlibdeps
# finds them in the build and leaves them to the Depends above.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
