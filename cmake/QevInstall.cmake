# The install tree and the archives. The tree is relocatable: the exported
# targets name their files relative to the config file, and on Linux the
# libraries and the tools find each other through $ORIGIN.
#   bin/                  Windows: the packages, the x86 runtime DLLs; the tools
#   lib/                  Windows: import libraries; Linux: the shared libraries
#   include/              the public headers, one source folder per library
#   lib/cmake/QevTimer/   the CMake package configuration
#   share/doc/QevTimer/   README.md, LICENSE
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
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(QEV_RUNTIME_DLLS)
  install(FILES ${QEV_RUNTIME_DLLS} DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(QEV_BUILD_TOOLS)
  # The tools look for the libraries in the library folder, wherever the tree is.
  file(RELATIVE_PATH _bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  set_target_properties(qev_inspect qev_design PROPERTIES INSTALL_RPATH "$ORIGIN/${_bin_to_lib}")
  install(TARGETS qev_inspect qev_design RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
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

# cpack: QevTimer-<version>-<target>.zip (Windows) or .tar.gz (Linux), one
# folder of the same name holding the install tree, its binaries stripped of
# their debugging information (as `cmake --install --strip` installs them).
if(QEV_PLATFORM STREQUAL "win")
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR TGZ)
endif()
set(CPACK_PACKAGE_NAME QevTimer)
set(CPACK_PACKAGE_VENDOR "QevTimer developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME QevTimer-${PROJECT_VERSION}-${QEV_TARGET})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
include(CPack)
