# Debian package of the whole system (`cpack -G DEB` in a build directory): the daemon, the
# module, the tools, the schema, the service unit and the sample configuration, which dpkg
# treats as the operator's own (conffiles), so an upgrade never overwrites an edited one.
set(CPACK_PACKAGE_NAME "vantor")
set(CPACK_PACKAGE_VERSION "9.12.8")
set(CPACK_DEBIAN_PACKAGE_RELEASE "7")
set(CPACK_PACKAGE_CONTACT "Vantor maintainers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Monitoring engine state in MariaDB through Gearman")
set(CPACK_PACKAGE_DESCRIPTION "An event-broker module for the Naemon engine that turns its events into SQL statements and
Gearman jobs, a connector daemon whose workers carry them into MariaDB and deliver the
engine's notifications, the schema, a check plugin for the system itself and a replay tool
for statements that failed.
The module is built for Naemon ${VTDB_ENGINE_VERSION} (broker API ${VTDB_ENGINE_API}) and refuses to load
into another release: build the package against the engine it is for.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Every path is absolute below the install root; no /usr prefix of its own.
set(CPACK_PACKAGING_INSTALL_PREFIX "${VANTOR_ROOT}")
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
# Library dependencies come from the binaries themselves; the servers may run elsewhere.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "passwd")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gearman-job-server, mariadb-server | default-mysql-server")

set(vt_pkg_dir ${CMAKE_BINARY_DIR}/packaging)
# The engine release the module is for, also as a file for the operator's tools.
file(WRITE ${vt_pkg_dir}/engine-version "${VTDB_ENGINE_VERSION}\n")
install(FILES ${vt_pkg_dir}/engine-version DESTINATION ${VANTOR_ROOT}/lib RENAME vtdb.engine-version)
file(WRITE ${vt_pkg_dir}/conffiles "${VANTOR_ROOT}/etc/db.php\n${VANTOR_ROOT}/etc/vantorconnector.conf\n")
configure_file(${CMAKE_CURRENT_LIST_DIR}/postinst ${vt_pkg_dir}/postinst @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
configure_file(${CMAKE_CURRENT_LIST_DIR}/prerm ${vt_pkg_dir}/prerm @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${vt_pkg_dir}/conffiles;${vt_pkg_dir}/postinst;${vt_pkg_dir}/prerm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
configure_file(${CMAKE_CURRENT_LIST_DIR}/move-unit.cmake.in ${vt_pkg_dir}/move-unit.cmake @ONLY)
set(CPACK_PRE_BUILD_SCRIPTS ${vt_pkg_dir}/move-unit.cmake)
include(CPack)
