# Install rules and the Debian package (make package: cpack -G DEB).
#
# Every destination is relative to the prefix "/", so the package and
# "cmake --install" lay out the same tree:
#   /opt/monitor/                 the application directory
#   /lib/systemd/system/          the unit
#   /usr/share/doc/monitor/       notes for the operator
# "cmake --install <build> --prefix <dir>" (or DESTDIR) puts it under <dir>.

if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX "/" CACHE PATH "Install prefix; the tree lies under opt/monitor" FORCE)
endif()

set(MONITOR_APP_DIR opt/monitor)
set(MONITOR_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)

# Only the production supervisor: not monitor-fast, tests or benchmarks.
install(TARGETS monitor RUNTIME DESTINATION ${MONITOR_APP_DIR})
install(FILES ${MONITOR_PACKAGING_DIR}/bin/config.json DESTINATION ${MONITOR_APP_DIR}/bin)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/scripts/publish-update.sh DESTINATION ${MONITOR_APP_DIR}/tools)
install(FILES ${MONITOR_PACKAGING_DIR}/monitor.service DESTINATION lib/systemd/system)
install(FILES ${MONITOR_PACKAGING_DIR}/README.md DESTINATION usr/share/doc/monitor)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME monitor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "monitor developers <monitor@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "process supervisor that installs its updates over HTTP")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "A daemon that starts the programs listed in /opt/monitor/bin/config.json,\n"
  "starts them again when they end, and installs update archives published\n"
  "on an HTTP server. Runs as the systemd service monitor.service.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Shared libraries (libcurl, libarchive, jemalloc, the C++ runtime) through
# dpkg-shlibdeps; the tool the supervisor runs: ps reads its own command line.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "procps")
# tools/publish-update.sh --sign signs with it.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "minisign")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${MONITOR_PACKAGING_DIR}/debian/conffiles
  ${MONITOR_PACKAGING_DIR}/debian/postinst
  ${MONITOR_PACKAGING_DIR}/debian/prerm
  ${MONITOR_PACKAGING_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
