# The Debian package, installed and removed with dpkg inside the sandbox.
add_test(NAME package_test
         COMMAND ${TESSARY_SANDBOX_ENTER} --install ${CMAKE_BINARY_DIR} --resolved --
                 ${CMAKE_CURRENT_SOURCE_DIR}/package_test.sh ${CMAKE_BINARY_DIR})
set_tests_properties(package_test PROPERTIES LABELS sandbox TIMEOUT 300)
