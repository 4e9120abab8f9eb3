#!/usr/bin/env bash
# The libraries that say they need no Qt (and, but for the log, no SQLite) link none: their test
# programs, and the capture helper, are checked for what the dynamic linker would load.
#   .ci/check-links.sh BUILD-FOLDER
set -euo pipefail
build=${1:-build}
status=0
check() {  # check BINARY FORBIDDEN-PATTERN WHY
  local bin=$build/$1
  [ -x "$bin" ] || { echo "check-links: $bin is missing" >&2; status=1; return; }
  if ldd "$bin" | grep -E "$2" >/dev/null; then
    echo "check-links: $1 links $(ldd "$bin" | grep -oE "$2[^ ]*" | sort -u | tr '\n' ' ')($3)" >&2
    status=1
  fi
}
check src/zul-capture 'libQt6|libsqlite3' "the privileged helper stays small"
check tests/capture/test_capture 'libsqlite3' "capture and classification need no log"
check tests/history/test_sampler 'libQt6' "the sampler needs no Qt"
check tests/capture/test_notify 'libQt6' "the threshold check needs no Qt"
check tests/display/test_display_core 'libQt6|libsqlite3' "the graphs' rules need neither"
check tests/settings/test_settings 'libQt6|libsqlite3' "the settings record needs neither"
check tests/history/test_history 'libQt6' "the log and its queries need no Qt"
[ "$status" -eq 0 ] && echo "check-links: every Qt-free library links no Qt"
exit "$status"
