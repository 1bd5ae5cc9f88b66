# Builds tests/plugin_app with clang the way Flutter's tool prepares an
# application: the plug-in package is reached through a symbolic link in
# flutter/ephemeral/.plugin_symlinks; then runs the application.
# Usage: cmake -DSOURCE_DIR=<checkout> -DWORK_DIR=<directory> -P run.cmake
set(app ${WORK_DIR}/app)
file(REMOVE_RECURSE ${app})
file(COPY ${SOURCE_DIR}/tests/plugin_app/ DESTINATION ${app} PATTERN run.cmake EXCLUDE)
file(MAKE_DIRECTORY ${app}/flutter/ephemeral/.plugin_symlinks)
file(CREATE_LINK ${SOURCE_DIR}/plugin ${app}/flutter/ephemeral/.plugin_symlinks/tunnel_bridge SYMBOLIC)

function(step)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "plugin_app: `${command}` failed (${rc}).")
  endif()
endfunction()
step(${CMAKE_COMMAND} -S ${app} -B ${WORK_DIR}/build -G Ninja -DCMAKE_BUILD_TYPE=Release
     -DCMAKE_CXX_COMPILER=clang++
     -DTUNNEL_BRIDGE_EMBEDDER_SOURCE_DIR=${SOURCE_DIR}/tests/flutter_embedder)
step(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
step(${WORK_DIR}/build/tunnel_bridge_app)
