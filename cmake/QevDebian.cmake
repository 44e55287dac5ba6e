# Run by cpack while it stages the Debian package (QevCPackOptions.cmake):
# writes the package's copyright file (the licence, in Debian's
# machine-readable form) and its changelog into the staged
# /usr/share/doc/<package>, beside the documents. The changelog's date
# follows SOURCE_DATE_EPOCH.
if(NOT CPACK_TEMPORARY_DIRECTORY)
  message(FATAL_ERROR "QevDebian.cmake writes into a package cpack stages, not elsewhere")
endif()
set(doc ${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/share/doc/${CPACK_DEBIAN_PACKAGE_NAME})
file(MAKE_DIRECTORY ${doc})

# The licence: its name, a blank line, the copyright line, then the text.
file(READ ${CPACK_QEV_DEBIAN_LICENSE} license)
if(NOT license MATCHES "^[^\n]*\n\nCopyright \\(c\\) ([^\n]*)\n\n(.*[^\n])\n*$")
  message(FATAL_ERROR "${CPACK_QEV_DEBIAN_LICENSE}: not the expected layout")
endif()
set(holders "${CMAKE_MATCH_1}")
# Debian's form: each line indented by one space, a blank line written " .".
string(REPLACE "\n\n" "\n.\n" license "${CMAKE_MATCH_2}")
string(REPLACE "\n" "\n " license "${license}")
file(WRITE ${doc}/copyright
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: QevTimer\n\n"
  "Files: *\n"
  "Copyright: ${holders}\n"
  "License: Expat\n ${license}\n")

string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(version "${CPACK_PACKAGE_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")
file(WRITE ${doc}/changelog.Debian
  "${CPACK_DEBIAN_PACKAGE_NAME} (${version}) unstable; urgency=medium\n\n"
  "  * QevTimer ${CPACK_PACKAGE_VERSION}.\n\n"
  " -- ${CPACK_DEBIAN_PACKAGE_MAINTAINER}  ${date}\n")
execute_process(COMMAND gzip -9nf ${doc}/changelog.Debian COMMAND_ERROR_IS_FATAL ANY)
