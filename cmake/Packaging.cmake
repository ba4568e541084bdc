# Debian packages: `cpack -G DEB` in a build configured with
# -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_SYSCONFDIR=/etc.
set(CPACK_PACKAGE_NAME tovrin-report)
set(CPACK_PACKAGE_VENDOR "tovrin")
set(CPACK_PACKAGE_CONTACT "tovrin-report maintainers <maintainers@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "deliver one report to the reporting server over HTTPS")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_TOOL_PACKAGE_NAME tovrin-report)
set(CPACK_DEBIAN_SERVER_PACKAGE_NAME tovrin-report-server)
set(CPACK_COMPONENT_TOOL_DESCRIPTION
    "Reads a report from standard input and streams it in one HTTPS PUT to the\nreporting server, trusting only the CA certificates in /etc/tovrin/report-ca.")
set(CPACK_COMPONENT_SERVER_DESCRIPTION
    "A stand-in reporting server for trying and testing tovrin-report on one machine.")
# The server's package runs it as a service: nginx for its front, openssl
# to make a first certificate, sysusers for its user.
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS
    "nginx-light | nginx, openssl, systemd | systemd-standalone-sysusers | systemd-sysusers")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/server/service/postinst;${PROJECT_SOURCE_DIR}/server/service/prerm;${PROJECT_SOURCE_DIR}/server/service/postrm;${PROJECT_BINARY_DIR}/server/conffiles")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
