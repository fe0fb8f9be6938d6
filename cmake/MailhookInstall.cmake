# `cmake --install` puts the library, its headers and a CMake package in place, so that a
# hook or a service finds it with find_package(mailhook).

include(CMakePackageConfigHelpers)

get_property(_mh_targets GLOBAL PROPERTY MAILHOOK_INSTALL_TARGETS)
install(TARGETS ${_mh_targets}
  EXPORT mailhookTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/mailhook)

# Only the public headers: the layer (lib/api), the classes an integrator may use beside it, and
# what those include. Transport internals, the POSIX stand-in's own pieces and the registry and
# storage helpers stay out. Each keeps its folder (api/..., headers/...), as consumers include it.
set(_mh_public_headers
  lib/api/mh_Error.h
  lib/api/mh_Files.h
  lib/api/mh_HookClient.h
  lib/api/mh_Protocol.h
  lib/api/mh_ScanService.h
  lib/content/hook_HookContent.h
  lib/content/hook_HookContentReceiver.h
  lib/foundation/hook_HookError.h
  lib/foundation/hook_Lock.h
  lib/foundation/hook_Log.h
  lib/headers/hook_HookHeaders.h
  lib/headers/hook_HookHeadersImp.h
  lib/memmap/hook_MemMap.h
  lib/memmap/hook_MemMapResource.h
  lib/pool/hook_MemMapResourcePool.h
  lib/pool/hook_MemMapResourcePoolMgr.h
  lib/rpc/hook_CmdHookKetra.h
  lib/rpc/hook_RpcCommunicationResource.h
  lib/shared/hook_ShareResource.h
  lib/shared/hook_SharedResourceClientMgr.h
  lib/shared/hook_SharedResourceGroupT.h
  lib/shared/hook_SharedResourceMgrT.h
  lib/xdr/hook_MessageBlock.h
  lib/xdr/hook_XDR.h
  platform/dbg/dbg_log.h
  platform/ipc/ipc_buffer.h
  platform/ipc/rpc.h
  platform/os/os_string.h
  platform/win32/win32.h)
foreach(_h ${_mh_public_headers})
  string(REGEX REPLACE "^(lib|platform)/" "" _rel ${_h})
  get_filename_component(_dir ${_rel} DIRECTORY)
  install(FILES ${CMAKE_SOURCE_DIR}/${_h} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/mailhook/${_dir})
endforeach()

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
set(MAILHOOK_PC_CFLAGS "")
if(NOT MAILHOOK_TRACE)
  set(MAILHOOK_PC_CFLAGS "-DMAILHOOK_NO_TRACE=1")
endif()
if(NOT WIN32)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/mailhook.pc.in ${CMAKE_BINARY_DIR}/mailhook.pc.in @ONLY)
  install(CODE "
    configure_file(\"${CMAKE_BINARY_DIR}/mailhook.pc.in\" \"${CMAKE_BINARY_DIR}/mailhook-install.pc\" @ONLY)
    file(INSTALL \"${CMAKE_BINARY_DIR}/mailhook-install.pc\" DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\" RENAME mailhook.pc)")
endif()
