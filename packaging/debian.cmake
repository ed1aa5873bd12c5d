# The Debian packages, made by CPack's DEB generator from the components
# (scripts/package.sh): names, descriptions, dependencies from
# dpkg-shlibdeps, the library's shlibs, symbols and ldconfig trigger, and
# each package's copyright file and changelog.
set(QUILLON_DEBIAN_REVISION 1)
set(QUILLON_DEBIAN_VERSION ${PROJECT_VERSION}-${QUILLON_DEBIAN_REVISION})
set(QUILLON_PACKAGE_CONTACT "The Quillon developers <quillon@example.org>"
  CACHE STRING "Maintainer of the Debian packages")
set(debian_dir ${CMAKE_CURRENT_BINARY_DIR}/debian)

# The changelog says which version it describes: it must be this one.
file(STRINGS changelog changelog_top LIMIT_COUNT 1)
if(NOT changelog_top MATCHES "^quillon \\(${QUILLON_DEBIAN_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog begins with \"${changelog_top}\", "
    "not an entry for ${QUILLON_DEBIAN_VERSION}")
endif()
add_custom_command(OUTPUT ${debian_dir}/changelog.Debian.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${debian_dir}
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/changelog
    ${debian_dir}/changelog.Debian
  COMMAND gzip -9nf ${debian_dir}/changelog.Debian
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/changelog)
add_custom_target(debian_changelog ALL
  DEPENDS ${debian_dir}/changelog.Debian.gz)

# The copyright file in Debian's machine-readable form, its licence text
# taken from LICENSE (the lines after the copyright line).
file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE license_lines)
set(license_body "")
set(after_copyright FALSE)
foreach(line IN LISTS license_lines)
  if(after_copyright)
    if(line STREQUAL "")
      string(APPEND license_body " .\n")
    else()
      string(APPEND license_body " ${line}\n")
    endif()
  elseif(line MATCHES "^Copyright \\(c\\) (.*)$")
    set(copyright_holder "${CMAKE_MATCH_1}")
    set(after_copyright TRUE)
  endif()
endforeach()
string(REGEX REPLACE "^ \\.\n" "" license_body "${license_body}")
file(WRITE ${debian_dir}/copyright
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: quillon\n"
  "Upstream-Contact: ${QUILLON_PACKAGE_CONTACT}\n\n"
  "Files: *\n"
  "Copyright: ${copyright_holder}\n"
  "License: MIT\n\n"
  "License: MIT\n${license_body}")

# The library's control files: which package provides libquillon.so.1
# (shlibs), since which version each symbol (symbols, from the version
# script, so the two cannot differ) and the ldconfig trigger.
file(WRITE ${debian_dir}/shlibs
  "libquillon ${PROJECT_VERSION_MAJOR} libquillon1 (>= ${PROJECT_VERSION})\n")
file(READ ${PROJECT_SOURCE_DIR}/library/quillon.map version_script)
string(REPLACE ";" " " version_script "${version_script}")  # no list items
# Each version node QUILLON_X.Y and its names, since upstream X.Y.0.
string(REGEX MATCHALL "QUILLON_[0-9]+\\.[0-9]+ *{[^}]*}" nodes "${version_script}")
set(symbols "libquillon.so.${PROJECT_VERSION_MAJOR} libquillon1 #MINVER#\n")
string(APPEND symbols "* Build-Depends-Package: libquillon-dev\n")
foreach(node IN LISTS nodes)
  string(REGEX MATCH "^(QUILLON_([0-9]+)\\.([0-9]+))" _ "${node}")
  set(symbol_version ${CMAKE_MATCH_1})
  set(since ${CMAKE_MATCH_2}.${CMAKE_MATCH_3}.0)
  string(REGEX MATCH "global:([^}]*)" _ "${node}")
  string(REGEX REPLACE "local:.*" "" names "${CMAKE_MATCH_1}")
  string(REGEX MATCHALL "[A-Za-z_][A-Za-z_0-9]*" exported "${names}")
  list(SORT exported)
  string(APPEND symbols " ${symbol_version}@${symbol_version} ${since}\n")
  foreach(name IN LISTS exported)
    string(APPEND symbols " ${name}@${symbol_version} ${since}\n")
  endforeach()
endforeach()
file(WRITE ${debian_dir}/symbols "${symbols}")
file(WRITE ${debian_dir}/triggers "activate-noawait ldconfig\n")

# Every package's /usr/share/doc/<package>: copyright and changelog.
set(packages libquillon1 libquillon-dev quillon)
set(components runtime development tools)
if(QUILLON_BUILD_APP)
  list(APPEND packages velmora)
  list(APPEND components velmora)
endif()
if(QUILLON_BUILD_PYTHON)
  list(APPEND packages python3-quillon)
  list(APPEND components python)
endif()
foreach(package component IN ZIP_LISTS packages components)
  install(FILES ${debian_dir}/copyright ${debian_dir}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
    COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillon)
set(CPACK_PACKAGE_VENDOR "The Quillon developers")
set(CPACK_PACKAGE_CONTACT "${QUILLON_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${components})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${QUILLON_DEBIAN_REVISION})
set(CPACK_DEBIAN_PACKAGE_SOURCE quillon)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# dpkg-shlibdeps finds libquillon.so.1 where the package puts it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
  ${CMAKE_BINARY_DIR}/library)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libquillon1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
"library that drives a magnetic-stripe card reader/encoder
libquillon drives a magnetic-stripe card reader/encoder on a serial port
through ten plain C functions: open and close the port, reset, coercivity,
track 2 density, erase, line test, status, read and write a card. Each
blocks until the operation has ended and returns a status code.
.
This package holds the shared library.")
# The Escape key's probe loads these at run time when an X display is there.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS "libxcb1, libxau6")
# packaging/finish_debs.sh then drops CPack's ldconfig scripts (the
# trigger does that work) and marks both library packages Multi-Arch: same.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
  "${debian_dir}/shlibs;${debian_dir}/symbols;${debian_dir}/triggers")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libquillon-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
  "libquillon1 (= ${QUILLON_DEBIAN_VERSION})")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
"development files for libquillon
libquillon drives a magnetic-stripe card reader/encoder on a serial port
through ten plain C functions.
.
This package holds the header quillon.h, the pkg-config file, the CMake
package (find_package(Quillon)) and the manual page quillon(3).")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME quillon)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
"magnetic-stripe card encoder from the command line
quillon reads cards into text, JSON Lines or CSV and writes single cards or
numbered batches, with read-back and a journal to resume from, on a
magnetic-stripe card reader/encoder on a serial port. A batch can also be
shared by several stations through a card queue in a PostgreSQL server.
.
quillon-encoder-sim, also in this package, serves a simulated encoder on a
pseudo-terminal, to try the software without a device.")

set(CPACK_DEBIAN_VELMORA_PACKAGE_NAME velmora)
set(CPACK_DEBIAN_VELMORA_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_VELMORA_PACKAGE_RECOMMENDS fonts-wqy-microhei)
set(CPACK_DEBIAN_VELMORA_DESCRIPTION
"operator's program for a magnetic-stripe card encoder
Velmora reads card after card, writes card after card (numbers counted up
from card to card, or one line of a data file per card), erases tracks and
sets a magnetic-stripe card reader/encoder on a serial port up, and keeps
an operation log. It can run on a simulated encoder, without a device.")

# The module is built for one Python version (its file name says which).
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-quillon)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(python_version ${Python_VERSION_MAJOR}.${Python_VERSION_MINOR})
math(EXPR python_next "${Python_VERSION_MINOR} + 1")
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
  "python3 (>= ${python_version}), python3 (<< ${Python_VERSION_MAJOR}.${python_next})")
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA
  "${CMAKE_CURRENT_SOURCE_DIR}/python3-quillon/postinst;${CMAKE_CURRENT_SOURCE_DIR}/python3-quillon/prerm")
set(CPACK_DEBIAN_PYTHON_DESCRIPTION
"Python module for a magnetic-stripe card encoder
import quillon: read and write cards on a magnetic-stripe card
reader/encoder on a serial port, card after card, and write numbered
batches over one or more encoders with every number on exactly one card,
kept in a journal that the quillon program shares.")

include(CPack)
