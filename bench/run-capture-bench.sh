#!/usr/bin/env bash
# Builds and runs the capture benchmark: medians of 3 runs per case. Needs root (it makes network
# namespaces and a veth pair, and sends only between them).
#
#   bench/run-capture-bench.sh [BUILD-FOLDER] [extra benchmark flags...]
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build-bench}
[ $# -gt 0 ] && shift
if [ "$(id -u)" -ne 0 ]; then
  echo "run-capture-bench.sh: needs root (network namespaces and packet capture)" >&2
  exit 1
fi
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DZUL_BUILD_BENCH=ON -DZUL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target capture_bench -j2
exec "$build/bench/capture/capture_bench" --benchmark_counters_tabular=true "$@"
