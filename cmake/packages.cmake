# Debian packages of the install components, one per component:
#   runtime  libpatch-sdk-service-agent1      the library (multiarch libdir)
#   dev      libpatch-sdk-service-agent-dev   header, CMake package, .pc
#   sim      libpatch-sdk-service-agent-sim   host stand-ins and the demo
#   trace    patch-sdk-service-agent-trace    the call tracer library
#   tools    patch-sdk-service-agent-tools    pss-trace; on the host also korvo and
#                                             the Wireshark dissector
# Each carries its copyright, the changelog and its manual pages; the files
# Debian asks for besides those of the component come from cmake/debian/
# (package_files.cmake, run by CPack before it builds the packages).
# `cpack -G DEB` in a build tree (or `cpack --preset arm-release`).
# Included last: CPack takes the components defined so far.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME patch-sdk-service-agent)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Packages ship stripped, whatever the build type.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# The changelog's latest entry names the release and who maintains it: its
# version must be the project's, and its signature is every package's
# Maintainer.
set(pss_debian_dir ${PROJECT_SOURCE_DIR}/cmake/debian)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${pss_debian_dir}/changelog)
file(STRINGS ${pss_debian_dir}/changelog pss_changelog_head LIMIT_COUNT 1)
file(STRINGS ${pss_debian_dir}/changelog pss_changelog_signature REGEX "^ -- " LIMIT_COUNT 1)
string(REGEX REPLACE "^[^ ]+ \\(([^)]+)\\).*" "\\1" pss_changelog_version "${pss_changelog_head}")
if(NOT pss_changelog_version STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "cmake/debian/changelog: the latest entry is version "
                      "'${pss_changelog_version}', the project's is ${PROJECT_VERSION}: add an entry")
endif()
string(REGEX REPLACE "^ -- (.+>)  .*$" "\\1" CPACK_PACKAGE_CONTACT "${pss_changelog_signature}")
set(CPACK_PSS_DEBIAN_DIR ${pss_debian_dir})
set(CPACK_PRE_BUILD_SCRIPTS ${pss_debian_dir}/package_files.cmake)

# The target's Debian architecture (armhf for arm-linux-gnueabihf), not the
# build machine's.
set(pss_deb_arch "")
if(CMAKE_LIBRARY_ARCHITECTURE)
  execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
    OUTPUT_VARIABLE pss_deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(pss_deb_arch)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${pss_deb_arch})
elseif(CMAKE_CROSSCOMPILING)
  message(WARNING "No Debian architecture known for this target (dpkg-architecture missing?); "
                  "packages would carry the build machine's")
endif()

# Descriptions: the first line is the synopsis, the rest the extended text.
set(pss_deb_runtime "libpatch-sdk-service-agent1 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libpatch-sdk-service-agent1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The middleware comes with the device's platform, under a name of its own.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libc6")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "client agent library of the PatchSdkService remote service
The agent turns each call of the PatchSdkService remote service into a call
of the Kelm RPC middleware (libvandrikelm.so, which comes with the device's
platform), together with the codecs that turn requests and responses into
KORVO buffers and back. Its decoders verify every offset of an untrusted
buffer before they read there. It needs neither a C++ runtime nor any
initialisation, and uses the process's OS layer for memory and logging when
the process has one.")
# The library is in the linker's directory: ldconfig must learn of it.
file(WRITE ${PROJECT_BINARY_DIR}/debian/runtime/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/runtime/triggers)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libpatch-sdk-service-agent-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${pss_deb_runtime}")
set(CPACK_DEBIAN_DEV_DESCRIPTION "development files of the PatchSdkService client agent
The C header with the service's records, the codec table and the exported
call functions; the method list; the header-only C++ layer (C++17 and later,
without exceptions); the CMake package PatchSdkServiceAgent and the
pkg-config file patch_sdk_service_agent; the manual page
libpatch_sdk_service_agent(3).")

set(CPACK_DEBIAN_SIM_PACKAGE_NAME libpatch-sdk-service-agent-sim)
set(CPACK_DEBIAN_SIM_PACKAGE_SECTION devel)
# Its CMake and pkg-config files extend the dev package's; the loopback
# middleware is C++.
set(CPACK_DEBIAN_SIM_PACKAGE_DEPENDS
    "libpatch-sdk-service-agent-dev (= ${PROJECT_VERSION}), libstdc++6, libc6")
set(CPACK_DEBIAN_SIM_DESCRIPTION "simulated PatchSdkService for host builds of its clients
A loopback stand-in of the Kelm RPC middleware with a simulated service
behind it, which answers every method, captures the images that cross it, and
answers from files or from a call trace; memcpy_s and memset_s; and a demo
that calls every method. It lives in a folder of its own, so that it never
shadows a device's middleware: for desks and tests, not for devices.")

# The tracer needs only the C library, like the agent.
set(CPACK_DEBIAN_TRACE_PACKAGE_NAME patch-sdk-service-agent-trace)
set(CPACK_DEBIAN_TRACE_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_TRACE_PACKAGE_DEPENDS "libc6")
set(CPACK_DEBIAN_TRACE_DESCRIPTION "call tracer of the PatchSdkService middleware
A library that pss-trace preloads into a program: it records every call the
program makes through the middleware (its images, results, decoder verdict,
thread and times) into a pcapng file that Wireshark, tshark and capinfos
read. It needs only the C library, and a program that does not load it pays
nothing.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME patch-sdk-service-agent-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION devel)
set(pss_deb_trace "patch-sdk-service-agent-trace (= ${PROJECT_VERSION})")
if(TARGET korvo_cli)
  # korvo and the dissector work without the tracer, which only pss-trace needs.
  set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libstdc++6, libgcc-s1, libc6")
  set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS "${pss_deb_trace}")
  # The dissector is a Lua plugin in Wireshark's global plugin folder.
  set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS "wireshark | tshark")
  set(CPACK_DEBIAN_TOOLS_DESCRIPTION "tools for the PatchSdkService agent's buffers and call traces
korvo decodes, checks, annotates and encodes the KORVO buffers of the
service's records with the library's own codecs, and reads the call traces
that pss-trace records; its Wireshark dissector, installed where Wireshark
and tshark find it, shows every call of a trace field by field. pss-trace
starts a program with the call tracer preloaded.")
else()
  set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${pss_deb_trace}")
  set(CPACK_DEBIAN_TOOLS_DESCRIPTION "pss-trace, which records the PatchSdkService calls of a program
pss-trace starts a program with the call tracer preloaded, so that every
call the program makes through the middleware lands in a pcapng trace. A
POSIX shell script: it runs in busybox's shell on the device.")
endif()

get_cmake_property(CPACK_COMPONENTS_ALL COMPONENTS)
list(REMOVE_ITEM CPACK_COMPONENTS_ALL Unspecified)
include(CPack)
