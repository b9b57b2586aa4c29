cmake_minimum_required(VERSION 3.25)
# cmake -DIN=file -DOUT=file.gz -P gzip_file.cmake
# Compresses at the highest level without a name or a time in the header,
# so that the same file always gives the same bytes.
find_program(GZIP gzip REQUIRED)
execute_process(COMMAND ${GZIP} -n -9 -c ${IN} OUTPUT_FILE ${OUT}
                RESULT_VARIABLE failed)
if(failed)
  file(REMOVE ${OUT})
  message(FATAL_ERROR "gzip ${IN}: ${failed}")
endif()
