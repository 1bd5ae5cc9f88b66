#!/usr/bin/env bash
# Connect and Disconnect of WireGuard and OpenVPN through the installed
# service on the sandbox bus, against the bare engines, measured inside the
# sandbox with real systemd-resolved and the servers in peer namespaces.
# Usage: BUILD_DIR=build bench/connect_bench.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${BUILD_DIR:-$root/build}" && pwd)
export TESSARY_SOURCE_DIR=$root
exec "$root/tests/sandbox/enter" --install "$build" --resolved -- "$build/bench/connect_bench"
