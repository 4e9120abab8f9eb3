#!/usr/bin/env bash
# Gives the capture capabilities to the capture helper of a build, and to nothing else.
#   scripts/grant-capture.sh [BUILD-FOLDER]
set -euo pipefail
helper=${1:-build}/src/zul-capture
[ -x "$helper" ] || { echo "grant-capture.sh: no capture helper at $helper; build first" >&2; exit 1; }
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
"${as_root[@]}" setcap cap_net_raw,cap_net_admin+eip "$helper"
getcap "$helper"
