# Connect and Disconnect through the real bus against the bare engines; run
# through bench/connect_bench.sh.
add_executable(connect_bench ${CMAKE_CURRENT_SOURCE_DIR}/connect_bench.cc)
target_link_libraries(connect_bench PRIVATE tessary_test_support tessary_common
                      tessary_config_normalization PkgConfig::GIO)
