# What an administrator installs besides the library: the units, the example configuration, and
# the Debian packages made of it all by `cpack -G DEB` (in the build folder):
#   mailhook         the command, the library, the signatures, the units, /etc/mailhook/mailhook.conf
#                    and a system user "mailhook" made by its postinst
#   libmailhook-dev  the layer's headers, the CMake package and the pkg-config file
# CPack rather than debian/ and debhelper: the packages come from the same install rules that
# `cmake --install` and tools/check_examples.sh use, so nothing is listed twice.
if(WIN32)
  return()
endif()

# The units name the command where this install puts it; /etc and systemd's unit folder are the
# system's when installing under /usr (the package), else under the prefix, so that an install
# into a private prefix never writes into this machine's /etc.
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(_mh_etc /etc)
    set(_mh_units /lib/systemd/system)
  else()
    set(_mh_etc \"\${CMAKE_INSTALL_PREFIX}/etc\")
    set(_mh_units \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")
  endif()
  foreach(_mh_unit mailhook.service mailhook-milter.service run-mailhook.mount)
    file(READ \"${CMAKE_SOURCE_DIR}/packaging/systemd/\${_mh_unit}\" _mh_text)
    string(REPLACE \"/usr/local/bin/mailhook\" \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/mailhook\" _mh_text \"\${_mh_text}\")
    file(WRITE \"${CMAKE_BINARY_DIR}/packaging/\${_mh_unit}\" \"\${_mh_text}\")
    file(INSTALL \"${CMAKE_BINARY_DIR}/packaging/\${_mh_unit}\" DESTINATION \"\${_mh_units}\")
  endforeach()
  # An administrator's own file is never overwritten by a later install.
  if(NOT EXISTS \"\$ENV{DESTDIR}\${_mh_etc}/mailhook/mailhook.conf\")
    file(INSTALL \"${CMAKE_SOURCE_DIR}/packaging/mailhook.conf\" DESTINATION \"\${_mh_etc}/mailhook\")
  endif()
  " COMPONENT runtime)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mailhook)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_CONTACT "mailhook maintainers <root@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)  # the build keeps its debug information; the package does not
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
# The libraries the command and the library link (libclamav, GMime, libmilter, ...) found by
# dpkg-shlibdeps; the command finds ours through its RUNPATH.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME mailhook)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "passwd")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "carries e-mail between a mail server's hook and a scanner in shared memory
The mailhook command (service, milter, hook, demo, inspect), its library, test
signatures, systemd units and an example configuration in /etc/mailhook.")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
  "${CMAKE_SOURCE_DIR}/packaging/debian/postinst;${CMAKE_SOURCE_DIR}/packaging/debian/conffiles")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libmailhook-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "mailhook (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEV_DESCRIPTION "mailhook's headers, CMake package and pkg-config file
Build a mail server's hook or a scanning service against libmailhook:
find_package(mailhook) or pkg-config --cflags --libs mailhook.")
include(CPack)
