#!/usr/bin/env bash
# Runs every fuzz target of a build for SECONDS each, from a copy of its seed corpus (the
# committed corpus is never written), and fails when one of them finds a crash, a leak or a
# timeout; the input that did it is named. What a run finds and its new inputs stay in
# BUILD_DIR/fuzz-run/<name>/ until the next run.
#   fuzz/run-fuzzers.sh BUILD_DIR SECONDS [NAME...]
set -euo pipefail

if [ $# -lt 2 ]; then
  echo "usage: $0 BUILD_DIR SECONDS [NAME...]" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
seconds=$2
shift 2
list="$build/fuzz/fuzzers.txt"
if [ ! -s "$list" ]; then
  echo "no fuzz targets in $build: configure it with clang and -DZUL_BUILD_FUZZ=ON" >&2
  exit 2
fi

# Sanitizer findings end the run with a stack; the fuzzers' own leak check stays on.
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1}

failed=()
while IFS=$'\t' read -r name binary corpus dict; do
  if [ $# -gt 0 ] && [[ " $* " != *" $name "* ]]; then
    continue
  fi
  if [ ! -x "$binary" ]; then
    echo "== $name: $binary is not built (target zul_fuzzers)" >&2
    failed+=("$name")
    continue
  fi
  work="$build/fuzz-run/$name"
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/findings"
  if [ -d "$corpus" ]; then
    cp -R "$corpus/." "$work/corpus/"
  fi
  args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
        -artifact_prefix="$work/findings/")
  if [ -n "$dict" ]; then
    args+=(-dict="$dict")
  fi
  echo "== $name: $seconds s from $(find "$work/corpus" -type f | wc -l) seed inputs"
  if "$binary" "${args[@]}" "$work/corpus" </dev/null >"$work/log" 2>&1; then
    grep -E '^(Done|stat::number_of_executed_units|stat::new_units_added)' "$work/log" || true
  else
    failed+=("$name")
    tail -n 60 "$work/log"
    for found in "$work"/findings/*; do
      if [ -e "$found" ]; then
        echo "== $name: failing input: $found"
        echo "== $name: reproduce with: $binary $found"
      fi
    done
  fi
done <"$list"

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing failed: ${failed[*]}" >&2
  exit 1
fi
echo "fuzzing passed"
