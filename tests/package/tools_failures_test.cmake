# qev-inspect and qev-design on what goes wrong: each case must end with a
# non-zero status and a message that names what is wrong; a public property
# set by name is said to be left out of the saved form.
#   cmake -DEMULATOR=<wine or empty> -DINSPECT=<tool> -DDESIGN=<tool> -DBIN=<folder of the tools>
#         -DPACKAGE=<module> -DDAMAGED_TABLE=<module> -DPYTHON=<python3> -DMAKER=<damaged_modules.py>
#         -DWORK=<folder> -P tools_failures_test.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/copies)
execute_process(COMMAND ${PYTHON} ${MAKER} ${WORK}/copies ${PACKAGE} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "damaged_modules.py failed: ${rc}")
endif()
cmake_path(GET PACKAGE EXTENSION LAST_ONLY suffix)
file(WRITE ${WORK}/empty${suffix} "")
set(c ${WORK}/copies)

set(failed 0)
# Runs one case: the tool, its arguments (a list, or "<empty>" for one empty
# argument), the exit status expected and a regular expression for what
# it prints (standard output and error together).
function(run_case tool args expected pattern)
  if(args STREQUAL "<empty>")  # a list drops an empty element: pass it quoted
    execute_process(COMMAND ${EMULATOR} ${tool} "" WORKING_DIRECTORY ${BIN}
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  else()
    execute_process(COMMAND ${EMULATOR} ${tool} ${args} WORKING_DIRECTORY ${BIN}
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  endif()
  set(out "${out}${err}")
  if(NOT rc STREQUAL expected OR NOT out MATCHES "${pattern}")
    cmake_path(GET tool FILENAME name)
    message(SEND_ERROR "${name} ${args}: status ${rc} (expected ${expected}), output:\n${out}\nexpected to match: ${pattern}")
    set(failed 1 PARENT_SCOPE)
  endif()
endfunction()

# qev-inspect: the file itself, then each damaged part.
run_case(${INSPECT} "<empty>" 1 "qev-inspect: no module named \\(the name is empty\\)")
run_case(${INSPECT} "${WORK}/no-such${suffix}" 1 "no-such${suffix}: no such file")
run_case(${INSPECT} "${WORK}" 1 ": a folder, not a module file")
run_case(${INSPECT} "${WORK}/empty${suffix}" 1 "empty${suffix}: empty \\(0 bytes\\)")
run_case(${INSPECT} "${c}/cut-in-headers${suffix}" 1 ": cut short in the (PE|ELF) header")
run_case(${INSPECT} "${c}/cut-in-section-table${suffix}" 1 ": cut short in the section (table|headers)")
run_case(${INSPECT} "${c}/cut-in-half${suffix}" 1 ": cut short in the (section|loaded segments)")
run_case(${INSPECT} "${c}/resource-header${suffix}" 1
         ": (damaged resource header of the embedded resource file|the resource directory is damaged)")
run_case(${INSPECT} "${c}/other-architecture${suffix}" 1 ": a module of another system or architecture \\((Windows|Linux) x86")
run_case(${INSPECT} "${c}/other-system${suffix}" 1 ": a module of another system or architecture \\((Linux|Windows) x86-64")
run_case(${INSPECT} "${DAMAGED_TABLE}" 1 "qev-inspect: damaged package identity table")
run_case(${INSPECT} "${PACKAGE}" 0 "module-type=1 \\(package\\)")

# qev-design --save: nothing written is never "saved".
run_case(${DESIGN} "--save;${WORK}/no-folder/form.txt" 1 "cannot save to [^\n]*no-folder/form.txt: there is no folder")
run_case(${DESIGN} "--save;${WORK}" 1 "cannot save to [^\n]*: it is a folder")
if(EXISTS /dev/full)  # Wine maps it too
  run_case(${DESIGN} "--save;/dev/full" 1 "cannot save to /dev/full: writing it failed")
endif()
run_case(${DESIGN} "--set;NeedSynchronization=True;--save;${WORK}/form.txt" 0
         "set NeedSynchronization = True \\(a public property, not published: not stored with the form\\).*NeedSynchronization +Boolean +True +\\(public; not stored\\).*saved Form1 to")
file(READ ${WORK}/form.txt form)
if(NOT form MATCHES "object QevTimer1: TQevTimer" OR form MATCHES "NeedSynchronization")
  message(SEND_ERROR "the saved form:\n${form}")
  set(failed 1)
endif()

if(failed)
  message(FATAL_ERROR "a tool did not say what went wrong")
endif()
