# The names of the status codes, read from the lines that define them, so that
# a new code is one new line in its header and nothing else:
#   #define PSS_AGENT_<NAME> <N>u /* meaning */          include/patch_sdk_service_agent.h
#   #define KELM_ERR_<NAME> 0x4B0Nu /* meaning */         sim/kelm_loopback.h
# pss_status_list(<out>) writes <out> with one PSS_STATUS(NAME, "meaning") line
# per code, in the headers' order; the code's value is the macro's own, so
# the compiler holds every name to its definition. The configuration runs
# again whenever one of the headers changes.
function(pss_status_list out)
  set(headers "${PROJECT_SOURCE_DIR}/include/patch_sdk_service_agent.h|PSS_AGENT_"
              "${PROJECT_SOURCE_DIR}/sim/kelm_loopback.h|KELM_ERR_")
  set(text "// Generated from the #define lines of the status codes; do not edit.\n")
  foreach(entry ${headers})
    string(REPLACE "|" ";" entry "${entry}")
    list(GET entry 0 header)
    list(GET entry 1 prefix)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${header})
    file(STRINGS ${header} lines REGEX "^#define ${prefix}[A-Z0-9_]+ +(0[xX][0-9A-Fa-f]+|[0-9]+)[uU]?( |$)")
    foreach(line ${lines})
      string(REGEX MATCH "^#define (${prefix}[A-Z0-9_]+)" _ "${line}")
      set(name ${CMAKE_MATCH_1})
      set(meaning "")
      if(line MATCHES "/\\* *(.*[^ ]) *\\*/")
        set(meaning "${CMAKE_MATCH_1}")
      endif()
      string(REPLACE "\\" "\\\\" meaning "${meaning}")
      string(REPLACE "\"" "\\\"" meaning "${meaning}")
      string(APPEND text "PSS_STATUS(${name}, \"${meaning}\")\n")
    endforeach()
  endforeach()
  file(CONFIGURE OUTPUT ${out} CONTENT "${text}" @ONLY)
endfunction()
