#!/usr/bin/env bash
# Builds and runs the application counts' benchmark: UDP and TCP request-answer loops between two
# network namespaces, without and with the counting programs attached, medians of 5 rounds. Needs
# root (it makes network namespaces and loads the programs). OTHER-HELPER, another build's
# zul-capture, is measured in the same rounds: a before-and-after comparison.
#
#   bench/run-apps-bench.sh [BUILD-FOLDER] [EXCHANGES [ROUNDS [OTHER-HELPER]]]
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build-bench}
[ $# -gt 0 ] && shift
if [ "$(id -u)" -ne 0 ]; then
  echo "run-apps-bench.sh: needs root (network namespaces and BPF)" >&2
  exit 1
fi
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DZUL_BUILD_BENCH=ON -DZUL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target apps_bench -j2
exec "$build/bench/apps/apps_bench" "$build/src/zul-capture" "$@"
