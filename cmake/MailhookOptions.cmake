# Warnings, sanitizers and the helper that every target of the project goes through.
include(GNUInstallDirs)

if(MSVC)
  set(MAILHOOK_WARNINGS /W4)
  if(MAILHOOK_WERROR)
    list(APPEND MAILHOOK_WARNINGS /WX)
  endif()
else()
  set(MAILHOOK_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
      -Wcast-align -Wnull-dereference -Wimplicit-fallthrough -Wformat=2)
  if(MAILHOOK_WERROR)
    list(APPEND MAILHOOK_WARNINGS -Werror)
  endif()
endif()

if(MAILHOOK_SANITIZE)
  string(REPLACE "," ";" _mh_san_list "${MAILHOOK_SANITIZE}")
  foreach(_san IN LISTS _mh_san_list)
    add_compile_options(-fsanitize=${_san})
    add_link_options(-fsanitize=${_san})
  endforeach()
  add_compile_options(-fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fno-sanitize-recover=all)
endif()

# mailhook_target(<name>): the project's warnings on one target.
function(mailhook_target name)
  target_compile_options(${name} PRIVATE ${MAILHOOK_WARNINGS})
endfunction()

# mailhook_install(<targets>...): targets that `cmake --install` exports with the package.
function(mailhook_install)
  set_property(GLOBAL APPEND PROPERTY MAILHOOK_INSTALL_TARGETS ${ARGN})
endfunction()

# mailhook_shared_library(<name> <export-base> sources...): a shared library of ours with its
# own generated export header <name>_export.h defining <export-base>_API.
include(GenerateExportHeader)
function(mailhook_shared_library name base)
  add_library(${name} SHARED ${ARGN})
  if(WIN32)
    # mailhook.dll, not libmailhook.dll (MinGW's default): the name Windows programs load it by.
    set_target_properties(${name} PROPERTIES PREFIX "")
  else()
    # Installed side by side: each finds the others beside itself, in any prefix.
    set_target_properties(${name} PROPERTIES INSTALL_RPATH "$ORIGIN")
  endif()
  if(NOT WIN32 AND CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    # Nobody interposes the library's own functions: calls inside it go direct (no PLT) and small
    # ones are inlined, as the header list's and the XDR's per-value calls need to be.
    target_compile_options(${name} PRIVATE -fno-semantic-interposition)
  endif()
  if(NOT WIN32 AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND NOT MAILHOOK_SANITIZE
     AND NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
    # Link-time optimisation: the header list's writer and reader call the encoder and decoder
    # once per value across translation units; inlined, writing a list of 30 headers and
    # parsing it take about half the time (headers_bench). Sanitizer and debug builds stay as
    # they are compiled.
    set_property(TARGET ${name} PROPERTY INTERPROCEDURAL_OPTIMIZATION TRUE)
  endif()
  # Generated as <mailhook/NAME_export.h>; inside the project also found as "NAME_export.h".
  generate_export_header(${name}
    BASE_NAME ${base}
    EXPORT_MACRO_NAME ${base}_API
    EXPORT_FILE_NAME ${CMAKE_BINARY_DIR}/include/mailhook/${name}_export.h)
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${CMAKE_BINARY_DIR}/include>
    $<BUILD_INTERFACE:${CMAKE_BINARY_DIR}/include/mailhook>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  mailhook_target(${name})
  mailhook_install(${name})
endfunction()
