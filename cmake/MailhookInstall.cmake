# `cmake --install` puts the library, its headers and a CMake package in place, so that a
# hook or a service finds it with find_package(mailhook).

include(CMakePackageConfigHelpers)
# Two components for the Debian packages (MailhookPackage.cmake): what runs (the library, the
# command) and what builds against it (everything not named "runtime").
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME dev)

get_property(_mh_targets GLOBAL PROPERTY MAILHOOK_INSTALL_TARGETS)
install(TARGETS ${_mh_targets}
  EXPORT mailhookTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})

# Only the layer's headers, as <mailhook/...>: none of the specified classes, the Win32 subset,
# the locks, pools, groups or the RPC stand-in reach a consumer.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/lib/api/include/mailhook DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")
install(FILES ${CMAKE_BINARY_DIR}/include/mailhook/mailhook_export.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/mailhook)

install(EXPORT mailhookTargets NAMESPACE mailhook:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/mailhook)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/mailhookConfig.cmake.in
  ${CMAKE_BINARY_DIR}/mailhookConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/mailhook)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/mailhookConfigVersion.cmake COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/mailhookConfig.cmake ${CMAKE_BINARY_DIR}/mailhookConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/mailhook)

# The same for builds that use pkg-config (prefix as given to `cmake --install --prefix`).
# The prefix is the one `cmake --install` is given: filled in when installing, not now.
set(MAILHOOK_PC_PREFIX "@CMAKE_INSTALL_PREFIX@")
if(NOT WIN32)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/mailhook.pc.in ${CMAKE_BINARY_DIR}/mailhook.pc.in @ONLY)
  install(CODE "
    configure_file(\"${CMAKE_BINARY_DIR}/mailhook.pc.in\" \"${CMAKE_BINARY_DIR}/mailhook-install.pc\" @ONLY)
    file(INSTALL \"${CMAKE_BINARY_DIR}/mailhook-install.pc\" DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\" RENAME mailhook.pc)")
endif()

include(MailhookPackage)
