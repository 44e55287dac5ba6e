# Read by cpack for each generator (CPACK_PROJECT_CONFIG_FILE): the Debian
# package alone gets the files Debian asks for (QevDebian.cmake).
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_INSTALL_SCRIPTS ${CPACK_QEV_DEBIAN_SCRIPT})
endif()
