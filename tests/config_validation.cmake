# Profile validation: pure logic, tested on the host. The test includes the
# unit's source for its file-private helpers, so it does not link the library.
tessary_unit_test(config_validation_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/config_validation_test.cc
  LIBS tessary_common PkgConfig::GIO PkgConfig::JSONGLIB)
