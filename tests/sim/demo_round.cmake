# The README's round with the demo and the korvo tool: capture a demo run,
# check every captured image with korvo, answer one method with an edited JSON
# record and see it in the demo's output.
#   cmake -DDEMO=... -DKORVO=... -DMETHODS=include/patch_sdk_service_agent_methods.h -DWORK=dir -P demo_round.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/answers)

function(run_demo out)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env ${ARGN} ${DEMO}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE stdout ERROR_VARIABLE stderr)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "demo failed (${rc}): ${stderr}")
  endif()
  set(${out} "${stdout}" PARENT_SCOPE)
endfunction()

run_demo(plain KELM_CAPTURE_DIR=${WORK}/captures)

# Each method's records, from the method list itself.
file(READ ${METHODS} text)
string(REGEX MATCHALL "REQ_[A-Z]+\\([A-Za-z0-9]+, [A-Z0-9_]+(, [A-Z0-9_]+)?\\)" entries "${text}")
foreach(entry ${entries})
  string(REGEX MATCH "\\(([A-Za-z0-9]+), ([A-Z0-9_]+)(, ([A-Z0-9_]+))?\\)" m "${entry}")
  set(request_of_${CMAKE_MATCH_1} ${CMAKE_MATCH_2})
  set(response_of_${CMAKE_MATCH_1} ${CMAKE_MATCH_4})
endforeach()

file(GLOB images RELATIVE ${WORK}/captures ${WORK}/captures/*.bin)
list(LENGTH images count)
set(refused "")
foreach(image ${images})
  string(REGEX MATCH "^([0-9]+)-([A-Za-z0-9]+)-(request|response)\\.bin$" m ${image})
  if(NOT m OR "${${CMAKE_MATCH_3}_of_${CMAKE_MATCH_2}}" STREQUAL "")
    message(FATAL_ERROR "unexpected capture file ${image}")
  endif()
  execute_process(COMMAND ${KORVO} check ${${CMAKE_MATCH_3}_of_${CMAKE_MATCH_2}} ${WORK}/captures/${image}
                  RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
  if(NOT rc EQUAL 0)
    list(APPEND refused ${image})
  endif()
endforeach()
# 13 calls of each family (10 with answers), 3 one-way, and the damaged
# answer the demo asks for last, which is captured as it was sent.
if(NOT count EQUAL 51 OR NOT refused STREQUAL "000030-QueryErrorInfo-response.bin")
  message(FATAL_ERROR "${count} captured images, refused by korvo: ${refused}")
endif()

execute_process(COMMAND ${KORVO} decode QOMA_PAT_DESC_QUERY_RSP
                        ${WORK}/captures/000007-QueryDescInfo-response.bin
                OUTPUT_VARIABLE json RESULT_VARIABLE rc)
string(REPLACE "\"uiHead0\": 7000" "\"uiHead0\": 4242" edited "${json}")
if(NOT rc EQUAL 0 OR edited STREQUAL json)
  message(FATAL_ERROR "korvo decode (${rc}) gave no uiHead0 7000: ${json}")
endif()
file(WRITE ${WORK}/answers/QueryDescInfo.json "${edited}")
run_demo(answered KELM_SIM_ANSWERS=${WORK}/answers)
string(REGEX MATCH "QOMA_PAT_QueryDescInfo: [^\n]*\n[^\n]*\n[^\n]*" call "${answered}")
if(NOT call MATCHES "uiStatus=0x0\n    head: uiHead0=4242 ")
  message(FATAL_ERROR "the JSON answer did not reach the demo: ${call}")
endif()
