# Regenerates the stand-in image and compares it with the committed file, so the
# generator and the file cannot drift apart.
execute_process(COMMAND "${PYTHON}" "${SCRIPT}" "${OUT}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "generator failed: ${rc}")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${OUT}" "${EXPECTED}" RESULT_VARIABLE differ)
if(NOT differ EQUAL 0)
  message(FATAL_ERROR "${EXPECTED} is not what ${SCRIPT} writes")
endif()
