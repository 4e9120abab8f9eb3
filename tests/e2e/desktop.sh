# What the desktop end-to-end scripts share, sourced after `set -u` with the tools the script needs:
#   . "$(dirname "$0")/desktop.sh" Xvfb xdotool ...
# Skips (exit 77) when a tool is missing; otherwise gives a private work folder with the user's
# folders inside it, an X11 session without a session bus, `pids` whose processes are killed on
# the way out (a script may add its own `more_cleanup`), `fail` and `wait_for`.
for tool in "$@"; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

work=$(mktemp -d)
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null; done
  if declare -F more_cleanup >/dev/null; then more_cleanup; fi
  rm -rf "$work"
}
trap cleanup EXIT
export HOME=$work/home XDG_DATA_HOME=$work/data XDG_RUNTIME_DIR=$work/run XDG_CONFIG_HOME=$work/config
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
# The X11 tray and window manager, not a session bus's: there is none in this desktop.
unset QT_QPA_PLATFORM DBUS_SESSION_BUS_ADDRESS WAYLAND_DISPLAY
export XDG_SESSION_TYPE=x11

# fail TEXT: says why, shows every log of the run, ends the script.
fail() {
  echo "FAIL: $*"
  for f in "$work"/*.log; do [ -f "$f" ] && sed "s/^/  $(basename "$f" .log): /" "$f"; done
  exit 1
}
# A screenshot of the whole screen under NAME.png in ZUL_E2E_SHOTS, when that is set.
shot() { [ -n "${ZUL_E2E_SHOTS:-}" ] && mkdir -p "$ZUL_E2E_SHOTS" && import -window root "$ZUL_E2E_SHOTS/$1.png"; }
# Whether a window named NAME is shown.
visible() { xdotool search --onlyvisible --name "$1" | head -1 | grep -q .; }

# wait_for TENTHS COMMAND...: polls until the command succeeds, at most TENTHS tenths of a second.
# The command runs anew each time: pass a function, not a value expanded once.
wait_for() {
  local n=$1
  shift
  for _ in $(seq "$n"); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  return 1
}

# start_xvfb [XVFB-OPTION...]: a 1280x1024 virtual screen that DISPLAY then names.
start_xvfb() {
  exec 3>"$work/display"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp "$@" >"$work/xvfb.log" 2>&1 &
  pids+=($!)
  disown
  exec 3>&-
  wait_for 100 test -s "$work/display" || fail "Xvfb did not start"
  export DISPLAY=:$(head -1 "$work/display")
}

# start_openbox: the window manager, once it has taken the screen.
wm_ready() { xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id'; }
start_openbox() {
  openbox >"$work/openbox.log" 2>&1 &
  pids+=($!)
  disown
  wait_for 100 wm_ready || fail "openbox did not start"
}

# start_trayer [EDGE]: the panel with the tray, on the right of the top edge (or EDGE); trayer_pid
# is its process. The caller waits for what it needs of it (has_tray, a work area).
start_trayer() {
  trayer --SetDockType true --SetPartialStrut true --edge "${1:-top}" --align right \
    --widthtype request --height 32 --transparent false --tint 0xc0c0c0 >"$work/trayer.log" 2>&1 &
  trayer_pid=$!
  pids+=($trayer_pid)
  disown
}
tray_windows() { xdotool search --class trayer 2>/dev/null; }
has_tray() { [ -n "$(tray_windows)" ]; }

# icon_window: the program's icon, its window embedded in the tray's; nothing while it has none.
icon_window() {
  local w
  for w in $(tray_windows); do
    xwininfo -tree -id "$w" 2>/dev/null | grep -m1 '("zul" ' | awk '{print $1}'
  done | head -1
}
# menu_window: the program's open popup menu, a viewable override-redirect window taller than the
# icon and than a tip, other than the icon the caller found ($icon).
menu_window() {
  local w
  for w in $(xdotool search --onlyvisible --classname zul 2>/dev/null); do
    [ "$((w))" -eq "$((icon))" ] && continue
    xwininfo -id "$w" | awk '/Override Redirect State: yes/{o=1} /Map State: IsViewable/{v=1}
      /Height:/{h=$2} END{exit !(o && v && h > 100)}' && { echo "$w"; return; }
  done
}

# start_session_bus: a session bus of this script alone (the user's is never touched).
start_session_bus() {
  read -r DBUS_SESSION_BUS_ADDRESS bus_pid < <(dbus-daemon --session --fork --print-address=1 \
    --print-pid=1 | paste -sd ' ')
  export DBUS_SESSION_BUS_ADDRESS
  pids+=("$bus_pid")
}

# A StatusNotifierItem host (needs gtk-sni-tray-standalone, gdbus and start_session_bus):
# start_host starts it with its own watcher at the bottom of the screen (host_pid); item names the
# program's item on the bus, svc and menu are set by the caller from it (use_item); prop, layout,
# item_id, checked and click read and click the exported menu.
host_pid=
start_host() {
  local try
  # The host asks its own watcher for the items before the watcher is on the bus now and then,
  # and ends on the answer: a host that ended so is started again.
  for try in 1 2 3; do
    gtk-sni-tray-standalone --watcher --bottom >"$work/host.log" 2>&1 &
    host_pid=$!
    pids+=("$host_pid")
    host_up() { host_ready || ! kill -0 "$host_pid" 2>/dev/null; }
    wait_for 100 host_up
    host_ready && break
  done
  host_ready || fail "the StatusNotifierItem host did not register"
}
host_ready() {
  gdbus call --session -d org.kde.StatusNotifierWatcher -o /StatusNotifierWatcher \
    -m org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierWatcher \
    IsStatusNotifierHostRegistered | grep -q true
}
# The bus name of the program's item, once it has registered with the watcher.
item() {
  gdbus call --session -d org.kde.StatusNotifierWatcher -o /StatusNotifierWatcher \
    -m org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierWatcher \
    RegisteredStatusNotifierItems | grep -o "':[^']*'" | head -1 | tr -d "'" | sed 's,/.*,,'
}
has_item() { [ -n "$(item)" ]; }
prop() {
  gdbus call --session -d "$svc" -o /StatusNotifierItem -m org.freedesktop.DBus.Properties.Get \
    org.kde.StatusNotifierItem "$1"
}
layout() { gdbus call --session -d "$svc" -o "$menu" -m com.canonical.dbusmenu.GetLayout 0 -- -1 '[]'; }
# The id of the menu item labelled $1 (as dbusmenu spells it: "_" for the accelerator).
item_id() { layout | grep -o "([0-9]*, {[^}]*'label': <'$1'>" | head -1 | sed 's/^(\([0-9]*\),.*/\1/'; }
# The check mark of the item labelled $1: 1 checked, 0 not.
checked() {
  layout | grep -o "([0-9]*, {[^}]*'label': <'$1'>[^}]*}" | grep -o "'toggle-state': <[0-9]*>" |
    grep -o '[0-9]*'
}
click() {
  local id
  id=$(item_id "$1")
  [ -n "$id" ] || fail "no menu item \"$1\" in $(layout)"
  gdbus call --session -d "$svc" -o "$menu" -m com.canonical.dbusmenu.AboutToShow 0 >/dev/null
  gdbus call --session -d "$svc" -o "$menu" -m com.canonical.dbusmenu.Event "$id" clicked \
    '<0>' 0 >/dev/null
}
use_item() {
  svc=$(item)
  menu=$(prop Menu | grep -o "'/[^']*'" | tr -d "'")
}
