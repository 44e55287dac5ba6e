# Read by cpack for each generator (CPACK_PROJECT_CONFIG_FILE). The archive
# holds the install tree (the default install); the Debian packages are made
# from their own components (QevDebian.cmake), one package each.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_COMPONENTS_ALL ${CPACK_QEV_DEB_COMPONENTS})
  # The library package's dependencies, found by dpkg-shlibdeps in the
  # built libraries as CPack would find them, without the ldconfig calls
  # that CPack's own search adds to the maintainer scripts (a trigger does
  # that: QevDebian.cmake). Each needs the others, which have no package yet.
  file(READ ${CPACK_QEV_DEB_LIBRARIES} libraries)
  list(GET libraries 0 first)
  get_filename_component(folder ${first} DIRECTORY)
  set(work ${CPACK_PACKAGE_DIRECTORY}/_CPack_Packages/shlibdeps)
  file(REMOVE_RECURSE ${work})
  file(WRITE ${work}/debian/control "")
  execute_process(COMMAND dpkg-shlibdeps -O --ignore-missing-info -l${folder} ${libraries}
                  WORKING_DIRECTORY ${work} OUTPUT_VARIABLE depends ERROR_VARIABLE error RESULT_VARIABLE rc
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT rc EQUAL 0 OR NOT depends MATCHES "^shlibs:Depends=(.+)$")
    message(FATAL_ERROR "dpkg-shlibdeps on ${libraries} failed (${rc}):\n${depends}\n${error}")
  endif()
  set(CPACK_DEBIAN_DEB_LIB_PACKAGE_DEPENDS "${CMAKE_MATCH_1}")
endif()
