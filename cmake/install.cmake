# What `cmake --install` puts where (GNU layout), and the CMake package of
# the studio-side library. Included at the end of the top CMakeLists.txt.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KVS_CONF_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/kvsagtd)
set(KVS_DEFAULT_FILE ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/kvsagtd)

# The agent and the administrators' check; the studio client and the tester helpers.
install(TARGETS kvsagtd kvsagtd-check RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS kvsctl kvsrdv kvsdynf RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The studio library: its headers keep their client/ paths under
# include/kvsstudio, so that their own includes resolve; a program includes
# <kvsstudio/client/studio.h> (or "client/studio.h").
set_target_properties(kvsstudio PROPERTIES POSITION_INDEPENDENT_CODE ON)
set_property(TARGET kvsstudio PROPERTY INTERFACE_INCLUDE_DIRECTORIES
  $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/kvsstudio>)
# The protocol library it is built on goes with it, headers and archive.
set_target_properties(kvs_protocol PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_include_directories(kvs_protocol PUBLIC $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/kvsstudio>)
install(TARGETS kvsstudio kvs_protocol EXPORT kvsstudioTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
file(GLOB KVS_STUDIO_HEADERS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/client/*.h)
install(FILES ${KVS_STUDIO_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kvsstudio/client)
file(GLOB KVS_PROTOCOL_HEADERS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/support/protocol/*.h)
install(FILES ${KVS_PROTOCOL_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kvsstudio/support/protocol)
# Its sockets are the agent's own RAII descriptor (a header alone).
install(FILES ${CMAKE_SOURCE_DIR}/platform/unique_fd.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kvsstudio/platform)
set(KVS_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kvsstudio)
install(EXPORT kvsstudioTargets NAMESPACE kvsstudio:: DESTINATION ${KVS_CMAKE_DIR})
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/kvsstudioConfig.cmake.in
  ${CMAKE_BINARY_DIR}/kvsstudioConfig.cmake INSTALL_DESTINATION ${KVS_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/kvsstudioConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/kvsstudioConfig.cmake ${CMAKE_BINARY_DIR}/kvsstudioConfigVersion.cmake
  DESTINATION ${KVS_CMAKE_DIR})

# Manual pages (hand-written roff).
foreach(section 1 5 8)
  file(GLOB pages ${CMAKE_SOURCE_DIR}/man/*.${section})
  install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()

# Bash completion of the client and the helpers.
foreach(tool kvsctl kvsrdv kvsdynf)
  install(FILES ${CMAKE_SOURCE_DIR}/completion/${tool}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
endforeach()

# The service: the authorization file (no rule; readable by the group the
# package gives it), the settings of the unit, the units.
install(FILES ${CMAKE_SOURCE_DIR}/etc/kvsagtd.ini DESTINATION ${KVS_CONF_DIR}
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/default/kvsagtd DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default)
configure_file(${CMAKE_SOURCE_DIR}/packaging/systemd/kvsagtd.service.in ${CMAKE_BINARY_DIR}/kvsagtd.service @ONLY)
# The template unit kvsagtd@NAME runs more agents beside it, one per
# environment file.
configure_file(${CMAKE_SOURCE_DIR}/packaging/systemd/kvsagtd@.service.in ${CMAKE_BINARY_DIR}/kvsagtd@.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/kvsagtd.service ${CMAKE_BINARY_DIR}/kvsagtd@.service DESTINATION lib/systemd/system)

# Documentation and licence.
set(KVS_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/kvsagtd)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/debian/copyright DESTINATION ${KVS_DOC_DIR})
file(GLOB KVS_DOCS ${CMAKE_SOURCE_DIR}/docs/install.md ${CMAKE_SOURCE_DIR}/docs/security.md
  ${CMAKE_SOURCE_DIR}/docs/tls.md)
install(FILES ${KVS_DOCS} DESTINATION ${KVS_DOC_DIR})

# The manual pages render without a warning (groff's tbl and man macros;
# skipped where groff is not installed).
if(KVS_TESTS)
  file(GLOB KVS_MAN_PAGES ${CMAKE_SOURCE_DIR}/man/*.[158])
  add_test(NAME man_pages_render_without_warnings COMMAND sh -c
    "command -v groff >/dev/null || exit 77; for page; do out=$(groff -t -man -ww -z \"$page\" 2>&1); \
     [ -z \"$out\" ] || { echo \"$page: $out\"; status=1; }; done; exit \${status:-0}" sh ${KVS_MAN_PAGES})
  set_tests_properties(man_pages_render_without_warnings PROPERTIES SKIP_RETURN_CODE 77)
endif()
