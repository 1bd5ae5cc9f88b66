if(NOT TESSARY_BUILD_PLUGIN)
  return()
endif()
# The desktop plug-in's tests. They run the plug-in inside the embedder
# stand-in, which plays the application: it links the stand-in so that the
# plug-in's undefined embedder symbols resolve, as they would in the real one.
add_subdirectory(${CMAKE_SOURCE_DIR}/tests/flutter_embedder ${CMAKE_BINARY_DIR}/tests/flutter_embedder)

# Conversions and the client's service-less path: pure, on the host.
tessary_unit_test(plugin_conversion_test SOURCES plugin_conversion_test.cc
                  ${CMAKE_SOURCE_DIR}/plugin/linux_service_client.cc
                  LIBS flutter_linux_standin PkgConfig::GIO)

# Channels against the real service on the sandbox's private bus (with
# systemd-resolved, for the WireGuard tunnel's DNS). The client layer is
# hidden inside the plug-in library; the test compiles its own copy to drive
# it directly too.
tessary_sandbox_test(plugin_channel_test
                     SOURCES plugin_channel_test.cc ${CMAKE_SOURCE_DIR}/plugin/linux_service_client.cc
                     LIBS tunnel_bridge_plugin flutter_linux_standin RESOLVED TIMEOUT 600)
tessary_sandbox_test(plugin_launch_test SOURCES plugin_launch_test.cc
                     LIBS tunnel_bridge_plugin flutter_linux_standin TIMEOUT 300)

# The built library's exported and undefined symbols.
tessary_unit_test(plugin_library_test SOURCES plugin_library_test.cc)
add_dependencies(plugin_library_test tunnel_bridge_plugin)
target_compile_definitions(plugin_library_test
                           PRIVATE TESSARY_PLUGIN_LIBRARY="$<TARGET_FILE:tunnel_bridge_plugin>")

# The plug-in package inside a Flutter application's build: clang, the
# application template's standard settings and C++14 default, the generated
# plug-in list and registrant; the application then registers it and calls it.
add_test(NAME plugin_app_test
         COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR}
                 -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/plugin_app -P
                 ${CMAKE_CURRENT_SOURCE_DIR}/plugin_app/run.cmake)
set_tests_properties(plugin_app_test PROPERTIES LABELS unit TIMEOUT 600)
