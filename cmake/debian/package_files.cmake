# CPack pre-build script (CPACK_PRE_BUILD_SCRIPTS): what Debian asks of every
# package besides its files, added to each component's staging tree only, so
# that a `cmake --install` tree stays free of it:
#   usr/share/doc/<package>/copyright       copyright (machine-readable format)
#   usr/share/doc/<package>/changelog.gz    changelog, gzip -9n (reproducible)
#   usr/share/lintian/overrides/<package>   <component>.lintian-overrides, where
#                                           one exists here
# Reads CPACK_PSS_DEBIAN_DIR (this folder), CPACK_PACKAGING_INSTALL_PREFIX and
# CPACK_DEBIAN_<COMPONENT>_PACKAGE_NAME from CPackConfig.cmake.
foreach(component ${CPACK_COMPONENTS_ALL})
  string(TOUPPER ${component} upper)
  set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  if(NOT package)
    message(FATAL_ERROR "package_files.cmake: no package name for component ${component}")
  endif()
  set(usr ${CPACK_TEMPORARY_DIRECTORY}/${component}${CPACK_PACKAGING_INSTALL_PREFIX})
  set(doc ${usr}/share/doc/${package})
  file(MAKE_DIRECTORY ${doc})
  file(COPY_FILE ${CPACK_PSS_DEBIAN_DIR}/copyright ${doc}/copyright)
  execute_process(COMMAND gzip -9nc ${CPACK_PSS_DEBIAN_DIR}/changelog
    OUTPUT_FILE ${doc}/changelog.gz RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "package_files.cmake: gzip of the changelog failed (${status})")
  endif()
  set(overrides ${CPACK_PSS_DEBIAN_DIR}/${component}.lintian-overrides)
  if(EXISTS ${overrides})
    file(MAKE_DIRECTORY ${usr}/share/lintian/overrides)
    file(COPY_FILE ${overrides} ${usr}/share/lintian/overrides/${package})
  endif()
endforeach()
