# Installs the build into an empty prefix and checks that the tree holds
# exactly the program (executable) and its manual page (compressed), with the
# project's version filled in. The Debian package is made from this same tree,
# plus the Debian documents (copyright, changelog), which .ci/run checks.
#
# Arguments: -DBUILD_DIR=<build tree> -DPREFIX=<scratch prefix> -DVERSION=<x.y.z>

file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (status ${rc}):\n${out}")
endif()

file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE "${PREFIX}" "${PREFIX}/*")
list(SORT installed)
set(expected "bin/tolbrek5;share/man/man1/tolbrek5.1.gz")
if(NOT installed STREQUAL expected)
  message(FATAL_ERROR "installed tree holds [${installed}], expected [${expected}]")
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
