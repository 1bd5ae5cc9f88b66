# Control tool: usage and configuration checks of the real binary, the
# diagnostics' pure pieces, and both against services on the sandbox's bus.

# Test stand-in that answers the service's interface with fixed replies.
add_executable(tessary_ctl_fake_service standins/ctl/fake_service.cc)
target_link_libraries(tessary_ctl_fake_service PRIVATE PkgConfig::GIO)

tessary_unit_test(ctl_cli_test SOURCES ctl_cli_test.cc)
target_compile_definitions(ctl_cli_test PRIVATE TESSARY_CTL_BINARY="$<TARGET_FILE:tessaryvpnctl>"
                           TESSARY_VERSION="${PROJECT_VERSION}")
add_dependencies(ctl_cli_test tessaryvpnctl)

# Includes ctl/doctor.cc to reach its file-private checks.
tessary_unit_test(ctl_doctor_unit_test SOURCES ctl_doctor_unit_test.cc LIBS tessary_tool_run)

tessary_sandbox_test(ctl_sandbox_test SOURCES ctl_sandbox_test.cc RESOLVED TIMEOUT 900)
target_compile_definitions(ctl_sandbox_test
                           PRIVATE TESSARY_CTL_FAKE_SERVICE="$<TARGET_FILE:tessary_ctl_fake_service>")
add_dependencies(ctl_sandbox_test tessary_ctl_fake_service tessaryvpnctl)

# The installed tool against the installed service.
tessary_sandbox_test(ctl_service_test SOURCES ctl_service_test.cc RESOLVED TIMEOUT 600)
add_dependencies(ctl_service_test tessaryvpnctl)
