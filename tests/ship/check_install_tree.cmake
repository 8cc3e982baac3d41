# Installs the build into an empty prefix and checks that the tree holds
# exactly the program (executable) and its manual page (compressed), with the
# project's version filled in, and the library for C and C++ users: its
# header, the library (static, or shared and versioned), the CMake package and
# the pkg-config file. The Debian packages are made from this same tree, plus
# the Debian documents (copyright, changelog), which .ci/run checks.
#
# Arguments: -DBUILD_DIR=<build tree> -DPREFIX=<scratch prefix> -DVERSION=<x.y.z>
#   -DLIBDIR=<lib> -DINCLUDEDIR=<include> -DSHARED=<BUILD_SHARED_LIBS>

file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (status ${rc}):\n${out}")
endif()

file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE "${PREFIX}" "${PREFIX}/*")
list(SORT installed)
# The CMake package's per-configuration file is named after the build type.
list(FILTER installed EXCLUDE REGEX "^${LIBDIR}/cmake/tolbrek5/tolbrek5Targets-[a-z]+\\.cmake$")
string(REGEX MATCH "^[0-9]+" major "${VERSION}")
if(SHARED)
  set(library "${LIBDIR}/libtolbrek5.so;${LIBDIR}/libtolbrek5.so.${major}"
    "${LIBDIR}/libtolbrek5.so.${VERSION}")
else()
  set(library "${LIBDIR}/libtolbrek5.a")
endif()
set(expected "bin/tolbrek5;${INCLUDEDIR}/tolbrek5/tolbrek5.h"
  "${LIBDIR}/cmake/tolbrek5/tolbrek5Config.cmake"
  "${LIBDIR}/cmake/tolbrek5/tolbrek5ConfigVersion.cmake"
  "${LIBDIR}/cmake/tolbrek5/tolbrek5Targets.cmake" ${library}
  "${LIBDIR}/pkgconfig/tolbrek5.pc;share/man/man1/tolbrek5.1.gz")
list(SORT expected)
if(NOT installed STREQUAL expected)
  message(FATAL_ERROR "installed tree holds [${installed}], expected [${expected}]")
endif()

# The package files carry the version; the pkg-config file names the library
# and, for the static library, the C++ runtime it needs.
file(READ "${PREFIX}/${LIBDIR}/cmake/tolbrek5/tolbrek5ConfigVersion.cmake" version_file)
if(NOT version_file MATCHES "PACKAGE_VERSION \"${VERSION}\"")
  message(FATAL_ERROR "the CMake package's version file lacks the version ${VERSION}")
endif()
file(READ "${PREFIX}/${LIBDIR}/pkgconfig/tolbrek5.pc" pc)
if(NOT pc MATCHES "\nVersion: ${VERSION}\n" OR NOT pc MATCHES "\nLibs: -L\\\${libdir} -ltolbrek5\n")
  message(FATAL_ERROR "tolbrek5.pc lacks the version ${VERSION} or the library:\n${pc}")
endif()
if(NOT SHARED AND NOT pc MATCHES "\nLibs.private: -lstdc\\+\\+ -lm\n")
  message(FATAL_ERROR "tolbrek5.pc lacks the C++ runtime the static library needs:\n${pc}")
endif()

execute_process(COMMAND test -x "${PREFIX}/bin/tolbrek5" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${PREFIX}/bin/tolbrek5 is not executable")
endif()

execute_process(COMMAND gzip -dc "${PREFIX}/share/man/man1/tolbrek5.1.gz"
  RESULT_VARIABLE rc OUTPUT_VARIABLE page)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the installed manual page is no gzip file")
endif()
string(REGEX MATCH "\n\\.TH [^\n]*" title "${page}")
if(NOT title MATCHES "^\n\\.TH TOLBREK5 1 \"[0-9]+-[0-9]+-[0-9]+\" \"tolbrek5 ${VERSION}\" ")
  message(FATAL_ERROR "manual page title line lacks the version ${VERSION}: ${title}")
endif()
string(REGEX MATCH "@[A-Z_]+@" unfilled "${page}")
if(unfilled)
  message(FATAL_ERROR "manual page has unfilled placeholders: ${unfilled}")
endif()

file(REMOVE_RECURSE "${PREFIX}")
