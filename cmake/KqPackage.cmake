# Packages made by CPack (scripts/package runs it): on Linux a Debian package of
# the install tree under /usr, whose post-install step creates the service's user;
# for Windows (win64 preset) a zip of the server, the tools, the DLLs, the headers
# and the import libraries. The project version is the package's version.
set(CPACK_PACKAGE_NAME kqvxi)
set(CPACK_PACKAGE_VENDOR "the kqvxi developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "interrupt event server for a PCI-to-VXI board")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)

if(KQ_WINDOWS)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "the kqvxi developers <maintainers@users.noreply.c-seed-e18aebea.example>")
  set(CPACK_DEBIAN_PACKAGE_SECTION misc)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "kqvxi-server turns a board controller's driver events into records and hands\n\
each record to every client program that selected it, through shared memory.\n\
This package holds the server, its client library, the simulated board library\n\
(everything runs without a board), the tools kqvxi-monitor, kqvxi-inject and\n\
kqvxi-ctl, the public headers, and a systemd unit template per controller.")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "systemd | systemd-standalone-sysusers")
  # postinst creates the service's user; the ldconfig trigger lets the loader
  # see the libraries; the pre-build step compresses the manual pages and the
  # changelog, writes the package's changelog and copyright files and drops the
  # relative run path (the libraries are in the system's directory under /usr).
  set(kq_deb ${CMAKE_BINARY_DIR}/deb)
  file(WRITE ${kq_deb}/postinst "#!/bin/sh\nset -e\nif [ \"$1\" = configure ] && command -v systemd-sysusers >/dev/null; then\n    systemd-sysusers kqvxi.conf\nfi\nif [ \"$1\" = configure ] && [ -d /run/systemd/system ]; then\n    systemctl --system daemon-reload >/dev/null || true\nfi\n")
  file(WRITE ${kq_deb}/postrm "#!/bin/sh\nset -e\nif [ -d /run/systemd/system ]; then\n    systemctl --system daemon-reload >/dev/null || true\nfi\n")
  file(WRITE ${kq_deb}/triggers "activate-noawait ldconfig\n")
  file(CHMOD ${kq_deb}/postinst ${kq_deb}/postrm PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
    GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${kq_deb}/postinst ${kq_deb}/postrm ${kq_deb}/triggers)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(KQ_PACKAGE_SOURCE_DIR ${CMAKE_SOURCE_DIR})
  set(KQ_PACKAGE_VERSION ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
  set(KQ_PACKAGE_MAINTAINER ${CPACK_DEBIAN_PACKAGE_MAINTAINER})
  configure_file(${CMAKE_SOURCE_DIR}/cmake/KqDebStage.cmake.in ${kq_deb}/stage.cmake @ONLY)
  set(CPACK_PRE_BUILD_SCRIPTS ${kq_deb}/stage.cmake)
endif()
include(CPack)
