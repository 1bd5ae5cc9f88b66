# Leak protection: endpoint collection and ruleset text on the host; nftables
# and real packets inside the sandbox, where the tests that drive
# EngineRuntime::ApplyLeakProtection also link the engine runtime.
tessary_unit_test(kill_switch_test SOURCES kill_switch_test.cc LIBS tessary_kill_switch)
target_compile_definitions(kill_switch_test PRIVATE
                           TESSARY_ENDPOINT_DATA="${CMAKE_CURRENT_SOURCE_DIR}/data/endpoints")

tessary_sandbox_test(kill_switch_nft_test SOURCES kill_switch_nft_test.cc LIBS tessary_kill_switch tessary_engine_runtime
                     TIMEOUT 120)

# Real packets through the applied table; see the scenario list in the source.
tessary_sandbox_test(kill_switch_leak_test SOURCES kill_switch_leak_test.cc
                     LIBS tessary_kill_switch tessary_engine_runtime TIMEOUT 180)
target_compile_definitions(kill_switch_leak_test PRIVATE
                           TESSARY_PEERS_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/sandbox/peers")

# libFuzzer target over endpoint collection and the ruleset builder; seeds in
# tests/fuzz/corpus/fuzz_endpoints (first byte: engine kind).
if(TESSARY_FUZZ AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  add_executable(fuzz_endpoints fuzz/fuzz_endpoints.cc)
  target_link_libraries(fuzz_endpoints PRIVATE tessary_kill_switch)
  target_compile_options(fuzz_endpoints PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(fuzz_endpoints PRIVATE -fsanitize=fuzzer,address,undefined)
endif()

# The kill switch through the installed service and a real WireGuard tunnel.
tessary_sandbox_test(kill_switch_service_test SOURCES kill_switch_service_test.cc RESOLVED
                     TIMEOUT 300)
target_compile_definitions(kill_switch_service_test PRIVATE
                           TESSARY_PEERS_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/sandbox/peers")
set_tests_properties(kill_switch_service_test PROPERTIES LABELS "sandbox;threaded")
