#!/usr/bin/env bash
# Validation of a generated ~2 MiB sing-box profile against json-glib parsing
# the same text alone (see validation_bench.cc). Uses the build in BUILD_DIR.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
exec "${BUILD_DIR:-$root/build}/bench/validation_bench"
