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
include(CPack)
