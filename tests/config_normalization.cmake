# The sing-box and Xray rewrites. The test includes the unit's source to reach
# its nesting scan, so it links validation (for the canonical protocol label)
# rather than the engine runtime library.
tessary_unit_test(config_normalization_test SOURCES config_normalization_test.cc
                  LIBS tessary_config_validation)
target_compile_definitions(config_normalization_test
                           PRIVATE TESSARY_SOURCE_DIR_DEFAULT="${CMAKE_SOURCE_DIR}")

# libFuzzer target over both rewrites; scripts/fuzz runs every fuzz_* binary
# with its seeds from tests/fuzz/corpus/fuzz_normalization (also reachable as
# tests/fuzz/normalization_seeds).
if(TESSARY_FUZZ AND NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(WARNING "fuzz_normalization needs clang (libFuzzer); not built with ${CMAKE_CXX_COMPILER_ID}")
elseif(TESSARY_FUZZ)
  add_executable(fuzz_normalization fuzz/fuzz_normalization.cc)
  target_link_libraries(fuzz_normalization PRIVATE tessary_config_validation)
  target_compile_options(fuzz_normalization PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(fuzz_normalization PRIVATE -fsanitize=fuzzer,address,undefined)
endif()
