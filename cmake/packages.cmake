# Debian packages of the install components, one per component:
#   runtime  libpatch-sdk-service-agent1      the library (multiarch libdir)
#   dev      libpatch-sdk-service-agent-dev   header, CMake package, .pc
#   sim      libpatch-sdk-service-agent-sim   host stand-ins and the demo
#   trace    patch-sdk-service-agent-trace    the call tracer library
#   tools    patch-sdk-service-agent-tools    pss-trace; on the host also korvo and
#                                             the Wireshark dissector
# Any further component gets patch-sdk-service-agent-<component>.
# `cpack -G DEB` in a build tree (or `cpack --preset arm-release`).
# Included last: CPack takes the components defined so far.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME patch-sdk-service-agent)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Client agent of the PatchSdkService remote service")
set(CPACK_PACKAGE_CONTACT "PatchSdkService agent maintainers <patch-sdk-service-agent@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Packages ship stripped, whatever the build type.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

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

set(pss_deb_runtime "libpatch-sdk-service-agent1 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libpatch-sdk-service-agent1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The middleware comes with the device's platform, under a name of its own.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libc6")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libpatch-sdk-service-agent-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${pss_deb_runtime}")
set(CPACK_DEBIAN_SIM_PACKAGE_NAME libpatch-sdk-service-agent-sim)
set(CPACK_DEBIAN_SIM_PACKAGE_SECTION devel)
# Its CMake and pkg-config files extend the dev package's; the loopback
# middleware is C++.
set(CPACK_DEBIAN_SIM_PACKAGE_DEPENDS
    "libpatch-sdk-service-agent-dev (= ${PROJECT_VERSION}), libstdc++6, libc6")

# The tracer needs only the C library, like the agent.
set(CPACK_DEBIAN_TRACE_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_TRACE_PACKAGE_DEPENDS "libc6")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION devel)
set(pss_deb_tools_depends "patch-sdk-service-agent-trace (= ${PROJECT_VERSION})")
if(TARGET korvo_cli)
  string(APPEND pss_deb_tools_depends ", libstdc++6, libc6")
  # The dissector is a Lua plugin in Wireshark's global plugin folder.
  set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS "wireshark | tshark")
endif()
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${pss_deb_tools_depends}")

get_cmake_property(CPACK_COMPONENTS_ALL COMPONENTS)
list(REMOVE_ITEM CPACK_COMPONENTS_ALL Unspecified)
include(CPack)
