# Renders the manual page PAGE as the web page HTML with mandoc.
execute_process(COMMAND ${MANDOC} -T html ${PAGE}
  OUTPUT_FILE ${HTML} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "mandoc could not render ${PAGE}")
endif()
