# Reads the agent library's dynamic section and symbol table with the
# toolchain's readelf and checks what a device process relies on:
#   - it exports exactly the 42 call functions and the server address;
#   - it needs neither the C++ runtime nor libgcc_s, only the middleware and
#     the C library;
#   - it imports nothing of the C++ runtime.
# cmake -DREADELF=<readelf> -DLIBRARY=<path> -DMETHODS=<method list header>
#       -P check_library_elf.cmake
cmake_minimum_required(VERSION 3.25)

# The exports of each method, from the method list itself.
file(READ ${METHODS} text)
string(REGEX MATCHALL "REQ_(RSP|ONLY)\\([A-Za-z0-9]+, [A-Z0-9_]+[,)]" entries "${text}")
set(expected g_stServerAddr_PatchSdkService)
foreach(entry ${entries})
  string(REGEX MATCH "REQ_(RSP|ONLY)\\(([A-Za-z0-9]+)," m "${entry}")
  set(fn PatchSdkService_QOMA_PAT_${CMAKE_MATCH_2})
  list(APPEND expected ${fn}SetIdl ${fn} ${fn}_async)
  if(CMAKE_MATCH_1 STREQUAL "ONLY")
    list(APPEND expected ${fn}_oneway)
  endif()
endforeach()
list(LENGTH expected expected_count)
if(NOT expected_count EQUAL 43)
  message(FATAL_ERROR "the expected list itself is wrong: ${expected_count} names")
endif()

execute_process(COMMAND ${READELF} --dyn-syms --wide ${LIBRARY}
                OUTPUT_VARIABLE symtab RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "readelf --dyn-syms failed: ${rc}")
endif()
string(REPLACE "\n" ";" lines "${symtab}")
set(exported)
set(imported)
foreach(line ${lines})
  # Num: Value Size Type Bind Vis Ndx Name
  if(line MATCHES "^ *[0-9]+: +[0-9a-f]+ +[0-9]+ +[A-Z_]+ +([A-Z]+) +[A-Z]+ +([A-Z0-9]+) +([^ @]+)")
    if(CMAKE_MATCH_2 STREQUAL "UND")
      list(APPEND imported ${CMAKE_MATCH_3})
    elseif(NOT CMAKE_MATCH_1 STREQUAL "LOCAL")
      list(APPEND exported ${CMAKE_MATCH_3})
    endif()
  endif()
endforeach()
list(SORT exported)
list(SORT expected)
if(NOT exported STREQUAL expected)
  set(extra ${exported})
  list(REMOVE_ITEM extra ${expected})
  set(missing ${expected})
  list(REMOVE_ITEM missing ${exported})
  message(FATAL_ERROR "exports differ\n  not expected: ${extra}\n  missing: ${missing}")
endif()
# __cxa_finalize and __cxa_atexit belong to the C library (every shared
# object's start-up code uses the first).
list(REMOVE_ITEM imported __cxa_finalize __cxa_atexit)
foreach(name ${imported})
  if(name MATCHES "^(_Z|__cxa_|__gxx_|_Unwind_)")
    message(FATAL_ERROR "imports a C++ runtime symbol: ${name}")
  endif()
endforeach()

execute_process(COMMAND ${READELF} --dynamic --wide ${LIBRARY}
                OUTPUT_VARIABLE dynamic RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "readelf --dynamic failed: ${rc}")
endif()
string(REGEX MATCHALL "\\(NEEDED\\)[^[]*\\[[^]]+\\]" needed_entries "${dynamic}")
set(needed)
foreach(entry ${needed_entries})
  string(REGEX REPLACE ".*\\[(.*)\\]" "\\1" lib "${entry}")
  list(APPEND needed ${lib})
endforeach()
if(NOT "libvandrikelm.so" IN_LIST needed)
  message(FATAL_ERROR "libvandrikelm.so is not a dependency: ${needed}")
endif()
foreach(lib ${needed})
  if(lib MATCHES "^(libstdc\\+\\+|libgcc_s|libc\\+\\+)")
    message(FATAL_ERROR "needs ${lib} at run time: ${needed}")
  endif()
endforeach()
message(STATUS "exports: ${expected_count} names as expected; needs: ${needed}")
