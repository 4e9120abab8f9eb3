# shellcheck shell=bash
# Writes the program's settings file from a script, for runs that start with all four graph
# windows shown. Sourced:
#   . "$(dirname "$0")/settings_record.sh"
#   write_cfg FILE LEFT TOP WIDTH HEIGHT STEP-X STEP-Y
# The record holds the defaults, with every window visible: window i (0 "Internet & LAN",
# 1 "Internet", 2 "LAN", 3 "INTERNET (All PCs on the LAN)") has its frame at LEFT + (i % 2) *
# STEP-X, TOP + (i / 2) * STEP-Y and a client area of WIDTH x HEIGHT. The file's folders are made
# private to the user, as the program keeps them.
write_cfg() {
  local file=$1 left0=$2 top0=$3 width=$4 height=$5 stepx=$6 stepy=$7
  local -a b
  local i left top
  for ((i = 0; i < 344; i++)); do b[i]=0; done
  put8() { b[$1]=$(($2 & 255)); }
  put16() { put8 "$1" "$2" && put8 $(($1 + 1)) $(($2 >> 8)); }
  put32() { put16 "$1" $(($2 & 65535)) && put16 $(($1 + 2)) $((($2 >> 16) & 65535)); }
  # Little-endian fields at their offsets in the record.
  put16 0 2009                                 # version
  put8 2 1 && put8 3 1 && put8 6 1             # on top, title bar, transparent
  put16 8 80 && put16 10 2 && put8 14 1        # 80 % opaque, graph and readout, all adapters
  put16 20 2                                   # grid period
  put32 24 0xFF && put32 28 0xFF00 && put32 32 0xFFFF && put32 36 0xD0B0B0  # colours, 0xBBGGRR
  put32 44 1000 && put16 48 10                 # custom connection speed
  put32 56 10000 && put16 64 60 && put8 68 1   # notification (off)
  for i in 0 1 2 3; do
    put8 $((274 + i)) 1
    left=$((left0 + (i % 2) * stepx))
    top=$((top0 + (i / 2) * stepy))
    put32 $((278 + 16 * i)) "$left" && put32 $((282 + 16 * i)) "$top"
    put32 $((286 + 16 * i)) $((left + width)) && put32 $((290 + 16 * i)) $((top + height))
  done
  # The first byte is scrambled: the key's bytes over the record's length come to 0xA0.
  put8 0 $((b[0] ^ 0xA0))
  mkdir -p "$(dirname "$file")" && chmod -R go-rwx "$XDG_DATA_HOME" || return 1
  # shellcheck disable=SC2059
  printf "$(printf '\\%03o' "${b[@]}")" >"$file" && chmod 600 "$file"
}
