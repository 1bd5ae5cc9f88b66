# Profile validation of a generated ~2 MiB sing-box profile against json-glib
# parsing the same text alone.
add_executable(validation_bench ${CMAKE_CURRENT_SOURCE_DIR}/validation_bench.cc)
target_link_libraries(validation_bench PRIVATE tessary_config_validation)
