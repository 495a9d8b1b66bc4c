# Writes tarnwick-cli.1 from the program's own help, so the page cannot drift from it.
#   cmake -DCLI=path/to/tarnwick-cli -DTEMPLATE=tarnwick-cli.1.in -DOUTPUT=tarnwick-cli.1 -P man_page.cmake
cmake_minimum_required(VERSION 3.25)

function(help_of out)
  execute_process(COMMAND ${CLI} ${ARGN} --help OUTPUT_VARIABLE text RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${CLI} ${ARGN} --help failed: ${status}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Verbatim text for roff: backslashes and minus signs kept, no line read as a request.
function(roff_verbatim out text)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  string(REGEX REPLACE "\n([.'])" "\n\\\\&\\1" text "\n${text}")
  string(SUBSTRING "${text}" 1 -1 text)
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

help_of(overview)
string(FIND "${overview}" "\nCommands:\n" start)
if(start EQUAL -1)
  message(FATAL_ERROR "tarnwick-cli --help lists no commands")
endif()
string(SUBSTRING "${overview}" ${start} -1 listing)
string(FIND "${listing}" "\n\n" end)
string(SUBSTRING "${listing}" 0 ${end} listing)
string(REGEX MATCHALL "\n  [a-z][a-z0-9-]*" names "${listing}")

set(commands "")
foreach(name IN LISTS names)
  string(STRIP "${name}" name)
  string(REGEX MATCH "\n  ${name} +([^\n]*)" line "${listing}")
  roff_verbatim(summary "${CMAKE_MATCH_1}")
  help_of(help ${name})
  roff_verbatim(help "${help}")
  string(APPEND commands ".SS ${name}\n${summary}\n.PP\n.nf\n.RS 4\n${help}.RE\n.fi\n")
endforeach()

file(READ ${TEMPLATE} page)
string(REPLACE "@COMMANDS@" "${commands}" page "${page}")
file(WRITE ${OUTPUT} "${page}")
