# cmake -DGZIP=gzip -DINPUT=file -DOUTPUT=file.gz -P Gzip.cmake
# Compresses INPUT into OUTPUT at the best compression, without the file's
# name and time, as Debian ships compressed documents.
execute_process(COMMAND ${GZIP} -9n -c ${INPUT} OUTPUT_FILE ${OUTPUT} RESULT_VARIABLE result)
if(result)
    file(REMOVE ${OUTPUT})
    message(FATAL_ERROR "gzip ${INPUT}: ${result}")
endif()
