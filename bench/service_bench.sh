#!/usr/bin/env bash
# Service round trip against the least GDBus service, and the service's
# memory, measured inside the sandbox with the build installed at its fixed
# paths. Usage: BUILD_DIR=build bench/service_bench.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${BUILD_DIR:-$root/build}" && pwd)
exec "$root/tests/sandbox/enter" --install "$build" -- "$build/bench/service_bench" \
  "$build/bench/least_bus_service"
