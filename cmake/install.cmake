# Install components:
#   runtime  libpatch_sdk_service_agent.so in the library directory
#   dev      the C header, the method list, the C++ layer, the CMake
#            package PatchSdkServiceAgent and patch_sdk_service_agent.pc
#   sim      the host stand-ins (loopback libvandrikelm.so with the simulated
#            service, memcpy_s/memset_s) and the demo, in a directory of their
#            own below the project's folder so that they never shadow a
#            device's real middleware; PatchSdkServiceAgent::sim and
#            patch_sdk_service_agent_sim.pc
#   trace    libpatch_sdk_service_trace.so, the call tracer, in the project's
#            folder of the library directory: a device installs it only to
#            trace, and no program links against it (LD_PRELOAD names it by
#            path), so it stays out of the linker's path
#   tools    the command-line tools: pss-trace (which finds the tracer in
#            the project's folder of its own tree) and, on the host, korvo
#            and the Wireshark dissector korvo generates (tools/korvo)
# CMAKE_INSTALL_LIBDIR is lib/<multiarch> where the toolchain names one (set
# in the top-level CMakeLists.txt).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(pss_package PatchSdkServiceAgent)
set(pss_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/${pss_package})
set(pss_sim_dir ${PSS_INSTALL_PKGLIBDIR}/sim)

if(PSS_STRIP_ON_INSTALL)
  # Read by the target install rules below, as `cmake --install --strip` would set it.
  foreach(component runtime sim trace)
    install(CODE "set(CMAKE_INSTALL_DO_STRIP TRUE)" COMPONENT ${component})
  endforeach()
endif()

# ---- runtime -------------------------------------------------------------
# No SONAME version: programs already built against the library record
# libpatch_sdk_service_agent.so. The build tree's RUNPATH is dropped on install.
install(TARGETS patch_sdk_service_agent EXPORT ${pss_package}Targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# ---- dev -----------------------------------------------------------------
# The C header, the method list and the C++ layer stamped from it.
install(FILES ${PROJECT_SOURCE_DIR}/include/patch_sdk_service_agent.h
              ${PROJECT_SOURCE_DIR}/include/patch_sdk_service_agent_methods.h
              ${PROJECT_SOURCE_DIR}/include/patch_sdk_service_agent.hpp
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(EXPORT ${pss_package}Targets NAMESPACE ${pss_package}::
  DESTINATION ${pss_cmake_dir} COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/${pss_package}Config.cmake.in
  ${PROJECT_BINARY_DIR}/${pss_package}Config.cmake
  INSTALL_DESTINATION ${pss_cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/${pss_package}ConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/${pss_package}Config.cmake
              ${PROJECT_BINARY_DIR}/${pss_package}ConfigVersion.cmake
  DESTINATION ${pss_cmake_dir} COMPONENT dev)

# The .pc files find the prefix from their own place, so that an installed
# tree (a sysroot, an unpacked package) can be moved.
file(RELATIVE_PATH pss_pc_to_prefix
  /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" pss_pc_to_prefix "${pss_pc_to_prefix}")
foreach(pc patch_sdk_service_agent patch_sdk_service_agent_sim)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc @ONLY)
endforeach()
install(FILES ${PROJECT_BINARY_DIR}/patch_sdk_service_agent.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# ---- sim -----------------------------------------------------------------
# PatchSdkServiceAgent::sim (pss_sim, defined in sim/).
install(TARGETS vandrikelm secmem pss_sim EXPORT ${pss_package}SimTargets
  LIBRARY DESTINATION ${pss_sim_dir} COMPONENT sim)
install(EXPORT ${pss_package}SimTargets NAMESPACE ${pss_package}::
  DESTINATION ${pss_cmake_dir} COMPONENT sim)
install(FILES ${PROJECT_BINARY_DIR}/patch_sdk_service_agent_sim.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT sim)
if(TARGET pss_demo)
  # The demo finds the stand-ins beside itself and the agent two levels up.
  file(RELATIVE_PATH pss_sim_to_libdir /prefix/${pss_sim_dir} /prefix/${CMAKE_INSTALL_LIBDIR})
  set_target_properties(pss_demo PROPERTIES INSTALL_RPATH "$ORIGIN;$ORIGIN/${pss_sim_to_libdir}")
  install(TARGETS pss_demo RUNTIME DESTINATION ${pss_sim_dir} COMPONENT sim)
endif()

# ---- trace, tools ----------------------------------------------------------
install(TARGETS patch_sdk_service_trace LIBRARY DESTINATION ${PSS_INSTALL_PKGLIBDIR} COMPONENT trace)
install(PROGRAMS ${PROJECT_BINARY_DIR}/trace/pss-trace DESTINATION ${CMAKE_INSTALL_BINDIR}
  COMPONENT tools)
