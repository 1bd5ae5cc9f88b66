# The Debian package, built from debian/ with dpkg-buildpackage and checked
# with lintian; then installed and removed with dpkg inside the sandbox (no
# systemd), and with apt on a machine booted with systemd. The package holds
# the uninstrumented programs, so only the normal build runs these.
if(TESSARY_SANITIZE STREQUAL "")
  add_test(NAME package_build COMMAND ${CMAKE_SOURCE_DIR}/scripts/package ${CMAKE_BINARY_DIR})
  set_tests_properties(package_build PROPERTIES LABELS "sandbox;booted" TIMEOUT 600 FIXTURES_SETUP deb)

  add_test(NAME package_test
           COMMAND ${TESSARY_SANDBOX_ENTER} --resolved --
                   ${CMAKE_CURRENT_SOURCE_DIR}/package_test.sh ${CMAKE_BINARY_DIR}/deb)
  set_tests_properties(package_test PROPERTIES LABELS sandbox TIMEOUT 300 FIXTURES_REQUIRED deb)

  add_test(NAME package_boot_test
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/sandbox/boot --
                   ${CMAKE_CURRENT_SOURCE_DIR}/package_boot_test.sh ${CMAKE_BINARY_DIR}/deb)
  set_tests_properties(package_boot_test PROPERTIES LABELS booted TIMEOUT 600 FIXTURES_REQUIRED deb)
endif()
