# The Debian package, built by CPack from the install rules (scripts/package.sh
# configures a build for /usr and runs it). One package holds the agent, its
# service, the tester helpers the agent's programs need, and the studio tools.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kvsagtd)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "the kvsagtd developers <kvsagtd@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "remote test-execution agent")
set(CPACK_PACKAGE_DESCRIPTION
  "kvsagtd lets a controlling application (a studio) run programs on this machine,\n\
move files to and from it and follow the programs it runs. The package holds the\n\
agent and its systemd unit (not enabled), its check command kvsagtd-check, the\n\
tester helpers kvsrdv and kvsdynf, the client kvsctl and the studio-side C++\n\
library kvsstudio with its CMake package.")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "passwd")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "systemd, bash-completion")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
configure_file(${CMAKE_SOURCE_DIR}/packaging/debian/conffiles.in ${CMAKE_BINARY_DIR}/debian/conffiles @ONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_BINARY_DIR}/debian/conffiles
  ${CMAKE_SOURCE_DIR}/packaging/debian/postinst
  ${CMAKE_SOURCE_DIR}/packaging/debian/prerm
  ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)
include(CPack)
