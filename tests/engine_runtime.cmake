# The engine runtime's tests include service/engine_runtime.cc to reach its
# file-private helpers, so they link the units it depends on but not its own
# library.
set(engine_runtime_test_libs tessary_engine_units tessary_tool_run tessary_route_check tessary_kill_switch tessary_config_normalization
    tessary_config_validation PkgConfig::GIO
    PkgConfig::JSONGLIB Threads::Threads)

tessary_unit_test(engine_runtime_test SOURCES engine_runtime_test.cc LIBS ${engine_runtime_test_libs})
target_compile_definitions(engine_runtime_test PRIVATE
                           TESSARY_TEST_DATA="${CMAKE_CURRENT_SOURCE_DIR}/data/engine_runtime")
set_tests_properties(engine_runtime_test PROPERTIES LABELS "unit;threaded")

# Real files, links, routes and a supervised stand-in engine; systemd-resolved
# runs because the OpenVPN clean-up reverts the link's DNS through it.
tessary_sandbox_test(engine_runtime_sandbox_test SOURCES engine_runtime_sandbox_test.cc
                     LIBS ${engine_runtime_test_libs} RESOLVED TIMEOUT 300)
set_tests_properties(engine_runtime_sandbox_test PROPERTIES LABELS "sandbox;threaded")

# A real WireGuard tunnel to a server in a peer namespace.
tessary_sandbox_test(engine_runtime_wireguard_test SOURCES engine_runtime_wireguard_test.cc
                     LIBS ${engine_runtime_test_libs} RESOLVED TIMEOUT 300)

# The real OpenVPN client against a server in a peer namespace.
tessary_sandbox_test(engine_runtime_openvpn_test SOURCES engine_runtime_openvpn_test.cc
                     LIBS ${engine_runtime_test_libs} RESOLVED
                     TIMEOUT 300)
set_tests_properties(engine_runtime_openvpn_test PROPERTIES LABELS "sandbox;threaded")

# Under TSan, the known false reports from inside GLib are suppressed.
foreach(test engine_runtime_test engine_runtime_sandbox_test engine_runtime_openvpn_test)
  set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT
               "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=${CMAKE_CURRENT_SOURCE_DIR}/engine_runtime.tsan.supp")
endforeach()
