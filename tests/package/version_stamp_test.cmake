# The x86 file version's stamp for given SOURCE_DATE_EPOCH values: days since
# 2000-01-01 and seconds since midnight / 2, in UTC.
#   cmake -DSCRIPT=<version_stamp.cmake> -DWORK=<folder> -P version_stamp_test.cmake
set(cases
  "946684800 0 0"          # 2000-01-01 00:00:00
  "946771199 0 43199"      # 2000-01-01 23:59:59
  "946771203 1 1"          # 2000-01-02 00:00:03
  "1491302868 6303 19434"  # 2017-04-03 10:47:48
)
set(failed 0)
foreach(c IN LISTS cases)
  string(REPLACE " " ";" c "${c}")
  list(GET c 0 epoch)
  list(GET c 1 days)
  list(GET c 2 half)
  file(REMOVE ${WORK}/stamp.h)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${epoch}
                          ${CMAKE_COMMAND} -DOUTPUT=${WORK}/stamp.h -P ${SCRIPT} RESULT_VARIABLE rc)
  file(READ ${WORK}/stamp.h text)
  if(NOT rc EQUAL 0 OR NOT text STREQUAL "#define QEV_STAMP_DAYS ${days}\n#define QEV_STAMP_HALF_SECONDS ${half}\n")
    message(SEND_ERROR "SOURCE_DATE_EPOCH=${epoch}: got '${text}', expected days ${days}, half seconds ${half}")
    set(failed 1)
  endif()
endforeach()
if(failed)
  message(FATAL_ERROR "version stamp differs")
endif()
