# Writes a program's manual page with help2man from the program's own --help, at build
# time, so the page always says what the built program says.
#   cmake -DHELP2MAN=... -DPROGRAM=... -DNAME="one-line summary" -DOUTPUT=x.1
#         [-DSEE_ALSO=other(1)] -P ManPage.cmake
# Each command of selvarn-sms gets its own --help in a COMMANDS section; for the
# simulator, --help-scenario becomes SCENARIO LINES. The examples keep their layout.
foreach(var HELP2MAN PROGRAM NAME OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "ManPage.cmake: ${var} is not set")
  endif()
endforeach()

function(run_program out_var)
  execute_process(COMMAND ${PROGRAM} ${ARGN} OUTPUT_VARIABLE text RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} ${ARGN} failed (${rc})")
  endif()
  set(${out_var} "${text}" PARENT_SCOPE)
endfunction()

# Text shown as it is: each line starts with \& so that no line can read as a request or
# as one of help2man's [section] headings, and backslashes print as themselves.
function(preformatted out_var text)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REGEX REPLACE "\n$" "" text "${text}")
  string(REPLACE "\n" "\n\\&" text "${text}")
  set(${out_var} ".nf\n\\&${text}\n.fi\n" PARENT_SCOPE)
endfunction()

set(include "")
run_program(main_help --help)
# The commands are the words listed under "Commands:", up to the next blank line.
string(REGEX MATCH "\nCommands:\n(.*)" listing "${main_help}")
if(listing)
  set(include "[COMMANDS]\n")
  string(REGEX REPLACE "\n\n.*" "" listing "${CMAKE_MATCH_1}")
  string(REGEX MATCHALL "(^|\n)  [a-z][a-z-]*" commands "${listing}")
  foreach(command IN LISTS commands)
    string(STRIP "${command}" command)
    run_program(help ${command} --help)
    preformatted(body "${help}")
    string(APPEND include ".SS ${command}\n${body}")
  endforeach()
endif()
if(main_help MATCHES "--help-scenario")
  run_program(scenario --help-scenario)
  preformatted(body "${scenario}")
  string(APPEND include "[SCENARIO LINES]\n${body}")
endif()
# help2man would reflow the example lines into one paragraph.
if(main_help MATCHES "\nExamples:\n(.*)")
  preformatted(body "${CMAKE_MATCH_1}")
  string(APPEND include "[=EXAMPLES]\n${body}")
endif()
if(SEE_ALSO)
  string(APPEND include "[SEE ALSO]\n${SEE_ALSO}\n")
endif()

set(include_file "${OUTPUT}.h2m")
file(WRITE "${include_file}" "${include}")
execute_process(
  COMMAND ${HELP2MAN} --no-info --no-discard-stderr --section=1 "--name=${NAME}"
          "--include=${include_file}" "--output=${OUTPUT}" ${PROGRAM}
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "help2man failed on ${PROGRAM} (${rc})")
endif()
