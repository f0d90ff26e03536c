# The Debian package: cpack -G DEB in the build tree (./run package). One package holds
# everything cmake --install puts in, under /usr; ldconfig runs through dpkg's trigger.
set(CPACK_PACKAGE_NAME selvarn-sms)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "send and receive SMS through a GSM modem")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "The library libselvarnsms (C++20 API and C ABI), the command line selvarn-sms, the "
  "modem simulator selvarn-modemsim, the Python module selvarn_sms, a systemd unit "
  "that watches a modem (selvarn-sms-watch@ttyUSB0) and the gateway service "
  "(selvarn-sms.service: several modems, an outbox with retries, an HTTP API, webhooks).")
set(SELVARN_PACKAGE_CONTACT "selvarn-sms maintainers <maintainers@selvarn-sms.invalid>"
    CACHE STRING "The Maintainer field of the Debian package")
set(CPACK_PACKAGE_CONTACT ${SELVARN_PACKAGE_CONTACT})
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/data/debian/triggers
    ${PROJECT_SOURCE_DIR}/data/debian/postinst ${PROJECT_SOURCE_DIR}/data/debian/prerm
    ${PROJECT_SOURCE_DIR}/data/debian/postrm)
include(CPack)
