# Fails when a program's --help names an option, or (corvane-sim) a fault,
# that its manual page does not describe, so that the page cannot fall
# behind the program.
#
#   cmake -DPROGRAM=<program> -DPAGE=<page.1.scd> -P check-manpage.cmake

execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE help ERROR_VARIABLE error RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} --help failed (${result}): ${error}")
endif()
file(READ ${PAGE} page)

# Long options anywhere in the help text; fault names begin a line indented
# by six spaces, followed by ":" (a flag) or "=" (a value).
string(REGEX MATCHALL "--[a-z][a-z0-9-]*" names "${help}")
string(REGEX MATCHALL "\n      [a-z][a-z0-9-]*[:=]" faults "${help}")
foreach(fault ${faults})
    string(REGEX REPLACE "^\n +([a-z0-9-]+).$" "\\1" fault "${fault}")
    list(APPEND names ${fault})
endforeach()
list(REMOVE_DUPLICATES names)

set(missing "")
foreach(name ${names})
    string(FIND "${page}" "*${name}*" at)
    if(at EQUAL -1)
        list(APPEND missing ${name})
    endif()
endforeach()
list(LENGTH names count)
if(missing)
    list(JOIN missing " " missing)
    message(FATAL_ERROR "${PAGE} does not describe: ${missing}")
endif()
message(STATUS "${PAGE}: all ${count} names of --help described")
