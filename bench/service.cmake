# GetConnectionSnapshot round trip against the least GDBus service answering
# the same call, and the service's resident and proportional memory; run
# through bench/service_bench.sh.
add_executable(service_bench ${CMAKE_CURRENT_SOURCE_DIR}/service_bench.cc)
target_link_libraries(service_bench PRIVATE tessary_test_support tessary_common PkgConfig::GIO)
add_executable(least_bus_service ${CMAKE_CURRENT_SOURCE_DIR}/least_bus_service.cc)
target_link_libraries(least_bus_service PRIVATE PkgConfig::GIO)
