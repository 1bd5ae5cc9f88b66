# StartWireGuard against bare wg-quick plus resolvectl; run through
# bench/engine_runtime_bench.sh.
add_executable(engine_runtime_bench ${CMAKE_CURRENT_SOURCE_DIR}/engine_runtime_bench.cc)
target_link_libraries(engine_runtime_bench PRIVATE tessary_engine_runtime tessary_test_support
                      tessary_common PkgConfig::GIO)
