# GetConnectionSnapshot round trip against the bus daemon's GetId, and the
# service's resident and proportional memory; run through bench/service_bench.sh.
add_executable(service_bench ${CMAKE_CURRENT_SOURCE_DIR}/service_bench.cc)
target_link_libraries(service_bench PRIVATE tessary_test_support tessary_common PkgConfig::GIO)
