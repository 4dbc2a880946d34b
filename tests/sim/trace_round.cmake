# The demo's call trace, end to end: made by the call tracer (TRACER: the
# pss-trace script, TRACE_LIB its library) around a demo run that also fills a
# capture directory. Then, where there is a KORVO:
# one line per call, --check naming the damaged answer alone, --json, --decode,
# and --extract giving the capture's files. Last, the demo replayed from the
# trace prints what it printed, the damaged answer refused again, and nothing
# is reported on stderr.
#   cmake -DDEMO=... [-DEMULATOR=...] -DTRACER=... -DTRACE_LIB=... [-DKORVO=...]
#         -DWORK=dir -P trace_round.cmake
cmake_minimum_required(VERSION 3.25)
separate_arguments(EMULATOR)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
set(trace ${WORK}/demo.pcapng)

function(run out err)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE stdout ERROR_VARIABLE stderr)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed (${rc}): ${stderr}")
  endif()
  set(${out} "${stdout}" PARENT_SCOPE)
  set(${err} "${stderr}" PARENT_SCOPE)
endfunction()

# The output's paragraphs (a line and the indented lines below it) in sorted
# order: completions of asynchronous calls come in any order.
function(paragraphs out text)
  string(REPLACE ";" "," text "${text}")
  string(REPLACE "\n    " "|" text "${text}")
  string(REPLACE "\n" ";" text "${text}")
  list(REMOVE_ITEM text "")
  list(SORT text)
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

set(env ${CMAKE_COMMAND} -E env KELM_CAPTURE_DIR=${WORK}/capture)
run(plain err ${env} sh ${TRACER} -l ${TRACE_LIB} -o ${trace} -- ${EMULATOR} ${DEMO})

if(KORVO)
  execute_process(COMMAND ${KORVO} trace ${trace} RESULT_VARIABLE rc OUTPUT_VARIABLE lines)
  string(REGEX MATCHALL "[^\n]+\n" lines "${lines}")
  list(LENGTH lines count)
  set(last "")
  if(count EQUAL 30)
    list(GET lines 29 last)
  endif()
  # 13 calls of each family and the damaged answer, in call order.
  if(NOT rc EQUAL 0 OR NOT count EQUAL 30 OR NOT last MATCHES
     "^ +30 [-0-9]+ [:.0-9]+ pid [0-9]+ tid [0-9]+ sync QOMA_PAT_QueryErrorInfo request 56 compact, answer 734, status KELM_ERR_BAD_ANSWER value 0, refused, [.0-9]+ us\n$")
    message(FATAL_ERROR "korvo trace (${rc}): ${count} lines, the last: ${last}")
  endif()

  # Cut inside a packet (a crash, a full disk): the calls before it, and where it stops.
  # Blocks are whole words and the asynchronous answers' order moves their ends
  # from run to run: a length that is no multiple of 4 is never a block's end.
  execute_process(COMMAND head -c 20002 ${trace} OUTPUT_FILE ${WORK}/cut.pcapng)
  execute_process(COMMAND ${KORVO} trace ${WORK}/cut.pcapng RESULT_VARIABLE rc OUTPUT_VARIABLE cut
                  ERROR_VARIABLE err)
  if(NOT rc EQUAL 1 OR NOT cut MATCHES "^ +1 " OR NOT err MATCHES "damage at byte [0-9]+: cut: ")
    message(FATAL_ERROR "korvo trace of a cut trace (${rc}): ${err}")
  endif()

  execute_process(COMMAND ${KORVO} trace --check ${trace} RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
  if(NOT rc EQUAL 1 OR NOT err MATCHES
     "^korvo: call 30 of process [0-9]+ QOMA_PAT_QueryErrorInfo answer: QOMA_PAT_ERROR_QUERY_RSP refused at byte 0: [^\n]+\n$")
    message(FATAL_ERROR "korvo trace --check (${rc}): ${err}")
  endif()

  run(json err ${KORVO} trace --json --decode ${trace})
  string(REGEX MATCHALL "[^\n]+" json "${json}")
  set(statuses "")
  foreach(line ${json})
    string(JSON status GET "${line}" status)
    string(JSON method GET "${line}" method)
    string(JSON verdict GET "${line}" verdict)
    list(APPEND statuses "${method}:${status}:${verdict}")
  endforeach()
  list(GET json -1 line)
  string(JSON head GET "${line}" request record uiHead0)
  string(JSON refusal GET "${line}" answer refused)
  list(FILTER statuses EXCLUDE REGEX ":0:(accepted|not decoded)$")
  if(NOT statuses STREQUAL "QOMA_PAT_QueryErrorInfo:19204:refused" OR NOT head EQUAL 4000 OR
     NOT refusal MATCHES "^QOMA_PAT_ERROR_QUERY_RSP refused at byte 0")
    message(FATAL_ERROR "korvo trace --json: failed calls ${statuses}, last request ${head}: ${line}")
  endif()

  # The same files as the capture, up to the numbers of asynchronous calls,
  # which the middleware's workers take in any order.
  run(out err ${KORVO} trace --extract ${WORK}/extract ${trace})
  foreach(kind capture extract)
    file(GLOB files RELATIVE ${WORK}/${kind} ${WORK}/${kind}/*.bin)
    set(${kind} "")
    foreach(f ${files})
      file(SHA256 ${WORK}/${kind}/${f} sum)
      string(REGEX REPLACE "^[0-9]+-" "" name ${f})
      list(APPEND ${kind} "${name}:${sum}")
    endforeach()
    list(SORT ${kind})
  endforeach()
  list(LENGTH extract count)
  if(NOT count EQUAL 51 OR NOT extract STREQUAL capture)
    message(FATAL_ERROR "korvo trace --extract: ${count} files unlike the capture's")
  endif()
endif()

run(replayed err ${CMAKE_COMMAND} -E env KELM_SIM_REPLAY=${trace} ${EMULATOR} ${DEMO})
paragraphs(plain "${plain}")
paragraphs(replayed "${replayed}")
if(NOT replayed STREQUAL plain OR NOT err STREQUAL "" OR NOT replayed MATCHES "refused: yes")
  message(FATAL_ERROR "the replayed demo differs or reports: ${err}\n${replayed}")
endif()
