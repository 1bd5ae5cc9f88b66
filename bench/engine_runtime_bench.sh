#!/usr/bin/env bash
# StartWireGuard against bare wg-quick + resolvectl, measured inside the
# sandbox (real systemd-resolved, a WireGuard peer in its own namespace) with
# the build installed at its fixed paths.
# Usage: BUILD_DIR=build bench/engine_runtime_bench.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${BUILD_DIR:-$root/build}" && pwd)
export TESSARY_SOURCE_DIR=$root
exec "$root/tests/sandbox/enter" --install "$build" --resolved -- "$build/bench/engine_runtime_bench"
