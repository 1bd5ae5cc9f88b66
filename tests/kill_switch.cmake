# Leak protection: endpoint collection and ruleset text on the host; nftables
# and real packets inside the sandbox.
tessary_unit_test(kill_switch_test SOURCES kill_switch_test.cc LIBS tessary_engine_runtime)
target_compile_definitions(kill_switch_test PRIVATE
                           TESSARY_ENDPOINT_DATA="${CMAKE_CURRENT_SOURCE_DIR}/data/endpoints")
