#!/usr/bin/env bash
# Gives the capture capabilities, and those that load the application counts, to the capture
# helper of a build, and to nothing else.
#   scripts/grant-capture.sh [BUILD-FOLDER]
# As root it runs setcap itself; otherwise through sudo, and without sudo it says how to run it
# as root.
set -euo pipefail
helper=${1:-build}/src/zul-capture
[ -x "$helper" ] || { echo "grant-capture.sh: no capture helper at $helper; build first" >&2; exit 1; }
as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "grant-capture.sh: giving capabilities needs root, and sudo is not installed." >&2
    echo "Run it as root: su -c '$0 ${1:-build}'" >&2
    exit 1
  fi
  as_root=(sudo)
fi
# setcap lives in /usr/sbin, which a plain user's PATH may lack.
PATH=$PATH:/usr/sbin:/sbin "${as_root[@]}" setcap cap_net_raw,cap_net_admin,cap_bpf,cap_perfmon+eip "$helper"
PATH=$PATH:/usr/sbin:/sbin getcap "$helper"
