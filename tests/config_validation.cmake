# Profile validation: pure logic, tested on the host. The test includes the
# rule units' sources for their file-private helpers, so it does not link the library.
tessary_unit_test(config_validation_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/config_validation_test.cc
  LIBS tessary_profile_lines tessary_engine_kind tessary_json_members tessary_common PkgConfig::GIO PkgConfig::JSONGLIB)
target_compile_definitions(config_validation_test PRIVATE
  TESSARY_PROFILE_DIR="${CMAKE_CURRENT_SOURCE_DIR}/data/profiles")

# libFuzzer target, built only in the fuzz tree (clang); scripts/fuzz runs
# every fuzz_* executable of that tree on its seed corpus in tests/fuzz/corpus.
if(TESSARY_FUZZ)
  add_executable(fuzz_config_validation ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/fuzz_config_validation.cc)
  target_compile_options(fuzz_config_validation PRIVATE -fsanitize=fuzzer,address,undefined
                         -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(fuzz_config_validation PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(fuzz_config_validation PRIVATE tessary_json_rules tessary_engine_kind tessary_json_members tessary_common
                        PkgConfig::GIO PkgConfig::JSONGLIB)
endif()
