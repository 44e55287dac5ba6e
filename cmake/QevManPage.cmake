# Writes the manual page of a tool from its --help, gzipped (cmake -P):
#   TOOL     the built tool
#   NAME     its installed name (qev-inspect)
#   SUMMARY  the page's one-line description
#   VERSION  the release
#   OUTPUT   the page, NAME.1.gz
# --help prints the usage lines first, then the description: the page's
# SYNOPSIS and DESCRIPTION, the text kept as it is laid out.
execute_process(COMMAND ${TOOL} --help RESULT_VARIABLE rc OUTPUT_VARIABLE help ERROR_VARIABLE error)
if(NOT rc EQUAL 0 OR NOT help MATCHES "^usage: ")
  message(FATAL_ERROR "${TOOL} --help gave ${rc}, not its usage:\n${help}${error}")
endif()

# Text for roff: backslashes escaped, no line taken for a request.
function(roff var text)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  set(${var} "${text}" PARENT_SCOPE)
endfunction()

string(REGEX REPLACE "\n+$" "" help "${help}")
# The usage: the first line and the indented lines that continue it.
string(REGEX MATCH "^usage: [^\n]*(\n [^\n]*)*" usage "${help}")
string(LENGTH "${usage}" length)
string(SUBSTRING "${help}" ${length} -1 description)
string(REGEX REPLACE "^\n+" "" description "${description}")
string(REGEX REPLACE "^usage: " "" usage "${usage}")
string(REGEX REPLACE "\n +" " " usage "${usage}")
roff(usage "${usage}")
roff(description "${description}")
roff(summary "${SUMMARY}")
roff(name "${NAME}")
string(TOUPPER "${name}" title)

string(REGEX REPLACE "\\.gz$" "" page ${OUTPUT})
file(WRITE ${page}
  ".TH ${title} 1 \"\" \"QevTimer ${VERSION}\" \"User Commands\"\n"
  ".SH NAME\n${name} \\- ${summary}\n"
  ".SH SYNOPSIS\n.nf\n${usage}\n.fi\n"
  ".SH DESCRIPTION\n.nf\n${description}\n.fi\n")
execute_process(COMMAND gzip -9nf ${page} COMMAND_ERROR_IS_FATAL ANY)
