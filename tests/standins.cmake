# Stand-ins for the engines that are not packaged here (sing-box, Xray and the
# AmneziaWG tools). They are never installed by `cmake --install`; sandbox
# tests copy them into place with tests/standins/install-engines.
set(standin_dir ${CMAKE_BINARY_DIR}/tests/standins)
set(standin_targets)
foreach(standin sing-box xray awg-quick awg amneziawg-go)
  string(REPLACE "-" "_" target "standin_${standin}")
  if(standin STREQUAL "sing-box" OR standin STREQUAL "xray")
    add_executable(${target} standins/engine_standin.cc)
    target_link_libraries(${target} PRIVATE PkgConfig::JSONGLIB PkgConfig::GIO)
  else()
    add_executable(${target} standins/amneziawg_standin.cc)
    target_link_libraries(${target} PRIVATE PkgConfig::GIO)
  endif()
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${standin} RUNTIME_OUTPUT_DIRECTORY ${standin_dir})
  list(APPEND standin_targets ${target})
endforeach()
target_compile_definitions(standin_sing_box PRIVATE TESSARY_STANDIN_SINGBOX)
target_compile_definitions(standin_awg_quick PRIVATE TESSARY_STANDIN_AWG_QUICK)
target_compile_definitions(standin_awg PRIVATE TESSARY_STANDIN_AWG)

# Proves that each stand-in does what it claims, with configurations made by
# the real normalization.
tessary_sandbox_test(standin_engines_test SOURCES standins/standin_engines_test.cc
                     LIBS tessary_config_normalization TIMEOUT 300)
add_dependencies(standin_engines_test ${standin_targets})
