# The documented rounds of fault plans with the C demo (docs/simulated-service.md):
# a completion that never comes (under valgrind too, where there is one) and
# a block the middleware cannot create; the call tracer around a plan (with
# KORVO: a delay as a duration, a chosen status, a damaged answer refused);
# and the replay of a trace filtered to one method, the other methods answered
# by the simulation, a plan on top.
#   cmake -DDEMO=... [-DEMULATOR=...] -DTRACER=... -DTRACE_LIB=... [-DKORVO=...]
#         [-DVALGRIND=...] -DPLANS=dir -DWORK=dir -P fault_round.cmake
cmake_minimum_required(VERSION 3.25)
separate_arguments(EMULATOR)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

# run(<exit status> <out> <err> <command>...): fails unless it exits so.
function(run want out err)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE stdout ERROR_VARIABLE stderr)
  if(NOT rc STREQUAL want)
    message(FATAL_ERROR "${ARGN}: exit ${rc}, not ${want}: ${stderr}\n${stdout}")
  endif()
  set(${out} "${stdout}" PARENT_SCOPE)
  set(${err} "${stderr}" PARENT_SCOPE)
endfunction()
function(expect text regex)
  if(NOT "${text}" MATCHES "${regex}")
    message(FATAL_ERROR "no \"${regex}\" in:\n${text}")
  endif()
endfunction()
# Lines in sorted order: completions of asynchronous calls come in any order.
function(sorted out text)
  string(REPLACE ";" "," text "${text}")
  string(REPLACE "\n" ";" text "${text}")
  list(SORT text)
  set(${out} "${text}" PARENT_SCOPE)
endfunction()
set(env ${CMAKE_COMMAND} -E env)

# A completion that never comes: the demo reports it, its blocks are held,
# then given back at exit.
run(1 out err ${env} KELM_SIM_FAULTS=${PLANS}/never.json KELM_SIM_FAULTS_REPORT=1
    ${EMULATOR} ${DEMO})
expect("${out}" "\nasynchronous calls never completed: 1\n.*\nmiddleware blocks left: 2; failures: 1\n$")
expect("${err}" "^kelm loopback: fault plan [^\n]*never.json: rule 1 acted on 1 calls\n")
expect("${err}" "at exit: asynchronous calls never completed: 1, their blocks given back; blocks left: 0\n$")
if(VALGRIND)
  run(1 out err ${env} KELM_SIM_FAULTS=${PLANS}/never.json
      ${VALGRIND} --leak-check=full --errors-for-leak-kinds=definite,indirect,possible
      --error-exitcode=99 ${DEMO})
  expect("${err}" "definitely lost: 0 bytes in 0 blocks")
  expect("${err}" "ERROR SUMMARY: 0 errors")
endif()

# No block can be made: every asynchronous hand-over and every synchronous
# call that needs a copy fails with 12; the rest goes on.
run(1 out err ${env} KELM_SIM_FAULTS=${PLANS}/create_fails.json ${EMULATOR} ${DEMO})
string(REGEX MATCHALL "handed over: 12\n" refused "${out}")
string(REGEX MATCHALL "result: uiValue=0 uiStatus=0xc\n" copies "${out}")
list(LENGTH refused refused)
list(LENGTH copies copies)
if(NOT refused EQUAL 13 OR NOT copies EQUAL 3 OR NOT err STREQUAL "")
  message(FATAL_ERROR "create_fails: ${refused} hand-overs and ${copies} calls refused: ${err}")
endif()

# The tracer sees faulted calls as on a device.
set(trace ${WORK}/traced.pcapng)
run(1 out err ${env} KELM_SIM_FAULTS=${PLANS}/traced.json
    sh ${TRACER} -l ${TRACE_LIB} -o ${trace} -- ${EMULATOR} ${DEMO})
if(KORVO)
  run(0 lines err ${KORVO} trace ${trace})
  expect("${lines}" " sync QOMA_PAT_HealthCheck [^\n]*, status PSS_AGENT_OK value 204, accepted, [3-9][0-9][0-9][0-9][0-9][0-9][.][0-9] us\n")
  expect("${lines}" " sync QOMA_PAT_QueryErrorInfo request 56 compact, answer -, status KELM_ERR_TIMEOUT value 0, not decoded, ")
  expect("${lines}" " async QOMA_PAT_QueryDescInfo request 248 fixed, answer 10, status KELM_ERR_BAD_ANSWER value 0, refused, ")
endif()

# Replay of a trace of QueryDescInfo alone: by default every other call fails;
# with KELM_SIM_REPLAY_MISSING=simulate the whole demo runs as it ran.
set(trace ${WORK}/desc.pcapng)
run(0 plain err sh ${TRACER} -l ${TRACE_LIB} -o ${trace} -m QueryDescInfo -- ${EMULATOR} ${DEMO})
run(1 out err ${env} KELM_SIM_REPLAY=${trace} ${EMULATOR} ${DEMO})
expect("${err}" "QOMA_PAT_Active call 1: the trace holds 0 calls of the method; the call fails with 0x4B07\n")
run(0 replayed err ${env} KELM_SIM_REPLAY=${trace} KELM_SIM_REPLAY_MISSING=simulate
    ${EMULATOR} ${DEMO})
sorted(plain "${plain}")
sorted(replayed "${replayed}")
string(REGEX MATCHALL "the simulated service answers \\(said once per method\\)\n" notes "${err}")
list(LENGTH notes notes)
if(NOT replayed STREQUAL plain OR NOT notes EQUAL 12)
  message(FATAL_ERROR "the mixed replay differs, or says ${notes} times: ${err}")
endif()
# A plan on top of the replay: the recorded answer damaged on its way.
run(1 out err ${env} KELM_SIM_REPLAY=${trace} KELM_SIM_REPLAY_MISSING=simulate
    KELM_SIM_FAULTS=${PLANS}/traced.json ${EMULATOR} ${DEMO})
expect("${out}" "QOMA_PAT_QueryDescInfo completed\n    result: uiValue=0 uiStatus=0x4b04\n")
