# Header-only libraries of the host that are the same for every architecture
# (Debian packages them "Architecture: all"): nlohmann-json, which the JSON
# form of the records uses in the simulated service (JSON answers, fault
# plans). The find root path of a cross toolchain hides the host's /usr, and
# must: its other headers and libraries are the host's, not the target's. So
# the cross build sees a tree of its own that holds these packages alone,
# linked from the host's copy, and finds them there as in a sysroot.
#   include(host-header-only.cmake) after setting CMAKE_FIND_ROOT_PATH.
set(pss_host_header_only ${CMAKE_BINARY_DIR}/host-header-only)
foreach(link include/nlohmann share/cmake/nlohmann_json)
  if(EXISTS /usr/${link} AND NOT EXISTS ${pss_host_header_only}/${link})
    get_filename_component(parent ${pss_host_header_only}/${link} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK /usr/${link} ${pss_host_header_only}/${link} SYMBOLIC)
  endif()
endforeach()
list(APPEND CMAKE_FIND_ROOT_PATH ${pss_host_header_only})
