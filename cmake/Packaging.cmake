# Debian packages: `cpack -G DEB` in a build configured with
# -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr
# -DCMAKE_INSTALL_SYSCONFDIR=/etc. One package per install component (tool,
# server), each with its stripped binary, copyright, changelog.gz and any
# packaging/<component>.<script> (conffiles, preinst, postinst, prerm, postrm)
# as control files. No -dbgsym packages: CMake 3.25 writes their md5sums
# with build paths, which lintian rejects. Any file installed under /etc
# must be listed in packaging/<component>.conffiles, and
# CPACK_DEBIAN_<COMPONENT>_PACKAGE_DEPENDS is added to the library
# dependencies CPack finds.

set(TOVRIN_PACKAGE_MAINTAINER "tovrin-report authors <tovrin-report@tovrin.org>" CACHE STRING
    "Maintainer field of the Debian packages")

# The URL is compiled in, so a build for another host is another version:
# apt must not take it for the package already installed.
set(TOVRIN_PACKAGE_VERSION ${PROJECT_VERSION})
if(NOT TOVRIN_REPORT_HOST STREQUAL "localhost:8443")
  string(TOLOWER "${TOVRIN_REPORT_HOST}" host)
  string(REGEX REPLACE "[^a-z0-9.]+" "." host "${host}")
  string(REGEX REPLACE "^\\.|\\.$" "" host "${host}")
  string(APPEND TOVRIN_PACKAGE_VERSION "+${host}")
endif()
message(STATUS "Debian package version ${TOVRIN_PACKAGE_VERSION}")

# Reproducible packages: every time stamp is the last commit's, unless the
# caller sets SOURCE_DATE_EPOCH.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(TOVRIN_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
else()
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
                    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE TOVRIN_SOURCE_DATE_EPOCH
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(NOT TOVRIN_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
    message(WARNING "No git history and no SOURCE_DATE_EPOCH: packages will carry today's time stamps")
    string(TIMESTAMP TOVRIN_SOURCE_DATE_EPOCH "%s" UTC)
  endif()
  set(ENV{SOURCE_DATE_EPOCH} ${TOVRIN_SOURCE_DATE_EPOCH})
endif()
string(TIMESTAMP TOVRIN_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)

# Files only a package carries: EXCLUDE_FROM_ALL keeps them out of a plain
# `cmake --install`, while cpack installs each component by name.
function(tovrin_package_docs component package)
  set(dir ${PROJECT_BINARY_DIR}/packaging/${component})
  set(docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package})
  configure_file(${PROJECT_SOURCE_DIR}/packaging/copyright ${dir}/copyright @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${dir}/changelog @ONLY)
  add_custom_command(OUTPUT ${dir}/changelog.gz
                     COMMAND sh -c "gzip -9nc '${dir}/changelog' > '${dir}/changelog.gz'"
                     DEPENDS ${dir}/changelog VERBATIM)
  add_custom_target(changelog-${component} ALL DEPENDS ${dir}/changelog.gz)
  install(FILES ${dir}/copyright ${dir}/changelog.gz ${ARGN} DESTINATION ${docdir}
          COMPONENT ${component} EXCLUDE_FROM_ALL)

  string(TOUPPER ${component} COMPONENT)
  set(extra)
  foreach(script conffiles preinst postinst prerm postrm)
    set(src ${PROJECT_SOURCE_DIR}/packaging/${component}.${script})
    if(EXISTS ${src})
      configure_file(${src} ${dir}/control/${script} @ONLY)
      list(APPEND extra ${dir}/control/${script})
    endif()
  endforeach()
  set(CPACK_DEBIAN_${COMPONENT}_PACKAGE_NAME ${package} PARENT_SCOPE)
  set(CPACK_DEBIAN_${COMPONENT}_PACKAGE_CONTROL_EXTRA "${extra}" PARENT_SCOPE)
endfunction()

set(CPACK_COMPONENTS_ALL tool)
configure_file(packaging/README.Debian ${PROJECT_BINARY_DIR}/packaging/tool/README.Debian @ONLY)
tovrin_package_docs(tool tovrin-report ${PROJECT_BINARY_DIR}/packaging/tool/README.Debian)
set(CPACK_DEBIAN_TOOL_DESCRIPTION "deliver one report to the reporting server over HTTPS
tovrin-report reads a report from standard input as opaque bytes and streams
it, unchanged, in one HTTPS PUT request to the reporting server. It trusts
only the CA certificates in /etc/tovrin/report-ca, which is installed empty
(see README.Debian), and counts the report delivered only when the server's
reply begins with OK.

tovrin-report-outbox queues reports on disk and delivers them later with
the tool, retrying with a back-off; its service runs as the user
tovrin-outbox, and the members of its group may add reports.

This build delivers to ${TOVRIN_REPORT_URL}")
# sysusers for the outbox's user.
set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "systemd | systemd-standalone-sysusers | systemd-sysusers")

if(TOVRIN_SERVER)
  list(APPEND CPACK_COMPONENTS_ALL server)
  configure_file(packaging/server.README.Debian ${PROJECT_BINARY_DIR}/packaging/server/README.Debian COPYONLY)
  tovrin_package_docs(server tovrin-report-server ${PROJECT_BINARY_DIR}/packaging/server/README.Debian)
  set(CPACK_DEBIAN_SERVER_DESCRIPTION "stand-in reporting server for trying tovrin-report
tovrin-report-server accepts reports as tovrin-report sends them, one HTTPS
PUT per report. An nginx of its own takes the clients and writes each report
into a spool directory; the server flushes it to disk and only then
acknowledges it. The package runs it as a systemd service under its own
user, with a self-signed certificate for localhost until one is configured
in /etc/default/tovrin-report-server. It is meant for trying and testing
tovrin-report: it keeps no index, does not authenticate clients and never
deletes stored reports.")
  # nginx for its front, openssl for a first certificate, sysusers for its user.
  set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS
      "nginx-light | nginx, openssl, systemd | systemd-standalone-sysusers | systemd-sysusers")
  # Both packages come from this one source tree.
  set(CPACK_DEBIAN_SERVER_PACKAGE_SOURCE tovrin-report)
endif()

set(CPACK_PACKAGE_NAME tovrin-report)
set(CPACK_PACKAGE_VENDOR "the tovrin-report authors")
set(CPACK_PACKAGE_CONTACT "${TOVRIN_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_VERSION ${TOVRIN_PACKAGE_VERSION})
# Named even when there is only the tool, so CPack still packages it as
# the component it is, with its own name, description and files.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# cpack reads SOURCE_DATE_EPOCH from its environment: hand it over.
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/packaging/cpack-env.cmake)
file(WRITE ${CPACK_PROJECT_CONFIG_FILE}
     "if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})\n  set(ENV{SOURCE_DATE_EPOCH} $ENV{SOURCE_DATE_EPOCH})\nendif()\n")
include(CPack)
