# Formats the manual page with every groff warning enabled and, when mandoc
# is installed, runs its linter too. Any diagnostic fails the test: a page
# that formats with warnings shows broken or missing text to the reader.
#
# Arguments: -DPAGE=<manual page> -DGROFF=<groff> [-DMANDOC=<mandoc>]

function(expect_silent what)
  execute_process(COMMAND ${ARGN}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR NOT "${out}${err}" STREQUAL "")
    message(FATAL_ERROR "${what} reports problems in ${PAGE} (status ${rc}):\n${out}${err}")
  endif()
endfunction()

if(NOT EXISTS "${PAGE}")
  message(FATAL_ERROR "manual page ${PAGE} is missing")
endif()

expect_silent(groff "${GROFF}" -ww -z -man -Tutf8 "${PAGE}")
if(MANDOC)
  expect_silent(mandoc "${MANDOC}" -T lint "${PAGE}")
endif()
