# Writes version_stamp.h for the x86 build's file version: the days since
# 2000-01-01 and the seconds since midnight divided by 2 (UTC), of
# SOURCE_DATE_EPOCH when it is set, else of now.
#   cmake -DOUTPUT=<file> -P version_stamp.cmake
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(now $ENV{SOURCE_DATE_EPOCH})
else()
  string(TIMESTAMP now "%s" UTC)
endif()
math(EXPR seconds "${now} - 946684800")  # 2000-01-01T00:00:00Z
math(EXPR days "${seconds} / 86400")
math(EXPR half "(${seconds} % 86400) / 2")
set(text "#define QEV_STAMP_DAYS ${days}\n#define QEV_STAMP_HALF_SECONDS ${half}\n")
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} old)
endif()
if(NOT old STREQUAL text)
  file(WRITE ${OUTPUT} "${text}")
endif()
