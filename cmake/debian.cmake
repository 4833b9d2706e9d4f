# SPDX-License-Identifier: MIT
# The Debian packages, built with  cpack -G DEB  in the build folder:
#   keltools       the five tools and their section-1 manual pages
#   keltools-dev   the codec's header, static library, CMake package,
#                  pkg-config file and section-3 manual page
# Each has /usr/share/doc/<package>/copyright, in the machine-readable
# format, made from LICENSE, and changelog.Debian.gz made from CHANGELOG.

# The copyright file: the licence text as a DEP-5 licence paragraph.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
string(REGEX REPLACE "^MIT License\n\nCopyright \\(c\\) ([^\n]*)\n\n" "" licence_text "${licence}")
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" holder "${licence}")
set(holder "${CMAKE_MATCH_1}")
string(REGEX REPLACE "\n$" "" licence_text "${licence_text}")
string(REGEX REPLACE "\n\n" "\n.\n" licence_text "${licence_text}")
string(REGEX REPLACE "\n" "\n " licence_text "${licence_text}")
set(debian ${PROJECT_BINARY_DIR}/debian)
file(WRITE ${debian}/copyright
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
     "Upstream-Name: keltools\n\n"
     "Files: *\n"
     "Copyright: ${holder}\n"
     "License: Expat\n"
     " ${licence_text}\n")

add_custom_command(OUTPUT ${debian}/changelog.Debian.gz
                   COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" sh ${PROJECT_SOURCE_DIR}/CHANGELOG
                           ${debian}/changelog.Debian.gz
                   DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG VERBATIM)
add_custom_target(debian-changelog ALL DEPENDS ${debian}/changelog.Debian.gz)

foreach(component tools dev)
  set(package keltools)
  if(component STREQUAL "dev")
    set(package keltools-dev)
  endif()
  install(FILES ${debian}/copyright ${debian}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME keltools)
set(CPACK_PACKAGE_VENDOR "the keltools authors")
set(CPACK_PACKAGE_CONTACT "KEL tools maintainers <maintainers@keltools.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL tools dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SOURCE keltools)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME keltools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION admin)
# The tools need nothing from Debian but the C library (symbols up to
# GLIBC_2.34, checked by a test).
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libc6 (>= 2.34)")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION [[operator tools for KEL domains
Command-line tools that operators run beside KEL, a distributed system
organised in domains: haltdomain kills a domain, tunedomain changes one
option of a domain, listmembers lists the objects of an object set,
nametrace switches the name server's debug output on or off, and
guichannel prints the GUI server's command service name.
.
The tools call the KEL libraries libkelui.so and libzun.so, which come
from the KEL installation and are not packaged here: place them in the
system's library directories or beside the tools.]])

set(CPACK_DEBIAN_DEV_PACKAGE_NAME keltools-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION [[KEL text codec for developers
The text codec of the KEL operator tools: the escaping rules for KEL
strings, which write the double quote, the slash, the vertical bar and
every control character as escape sequences, and nine functions that
convert between raw text, C-literal text and KEL text, check them and
write into bounded buffers.
.
This package holds the header, the static library, a CMake package
(find_package(keltools), target keltools::textcodec), a pkg-config file
(keltools-textcodec) and the manual page textcodec(3).  The KEL libraries
come from the KEL installation and are not packaged here.]])

include(CPack)
