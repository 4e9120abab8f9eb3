#!/usr/bin/env bash
# The real program under a StatusNotifierItem host (the tray of KDE, GNOME's AppIndicator
# extension, Xfce, waybar...) on a private session bus under a virtual X server:
#   1. the icon registers and exports its whole menu over com.canonical.dbusmenu, with the check
#      marks of the visible windows; a right click in the host opens it;
#   2. the host's activation opens the windows, a menu item clicked through the host shows its
#      window, and the tip and the picture are there;
#   3. "E&xit" clicked through the host ends the program with exit code 0.
#   4. A host that starts after the program still gets the icon.
# Set ZUL_E2E_SHOTS to a folder to keep a screenshot of the host's menu there.
set -u
zul=$1
. "$(dirname "$0")/desktop.sh" Xvfb openbox dbus-daemon gdbus gtk-sni-tray-standalone xdotool \
  xwininfo xprop import

start_xvfb
start_openbox
start_session_bus
start_host
"$zul" >"$work/zul.log" 2>&1 &
zpid=$!
pids+=("$zpid")
wait_for 150 has_item || fail "the program's icon did not register with the watcher"
use_item
wait_for 100 visible '^Internet & LAN$' || fail "the primary window did not show"

# --- 1. The menu -------------------------------------------------------------------------------
menu=$(prop Menu | grep -o "'/[^']*'" | tr -d "'")
[ "$menu" != /NO_DBUSMENU ] && [ -n "$menu" ] || fail "no menu exported: $(prop Menu)"
labels=$(layout | grep -o "'label': <'[^']*'>" | sed "s/'label': <'//; s/'>//" | paste -sd '|')
want='_Open Monitor|_Window|Internet _& LAN|Internet|LAN|INTERNET (All PCs)|_All Windows|H_ide|_Statistics|_Applications|_Options|_Help|_About|E_xit'
[ "$labels" = "$want" ] || fail "the exported menu is \"$labels\", not \"$want\""
[ "$(checked 'Internet _& LAN')$(checked Internet)$(checked LAN)" = 100 ] ||
  fail "check marks are not those of the visible windows: $(layout)"
echo "PASS: the whole menu is exported, with check marks of the visible windows"

# The host itself draws it on a right click over the icon, at the left of its bar.
bar=$(xdotool search --onlyvisible --class gtk-sni-tray-standalone | head -1)
[ -n "$bar" ] || fail "the host's bar is not on the screen"
read -r bx by < <(xwininfo -id "$bar" | awk '/Absolute upper-left X/{x=$NF} /Absolute upper-left Y/{y=$NF} END{print x, y}')
windows_before=$(xdotool search --onlyvisible --class gtk-sni-tray-standalone | wc -l)
xdotool mousemove $((bx + 12)) $((by + 12)) sleep 0.3 click 3
host_menu() { [ "$(xdotool search --onlyvisible --class gtk-sni-tray-standalone | wc -l)" -gt "$windows_before" ]; }
wait_for 50 host_menu || fail "a right click on the icon opened no menu in the host"
shot sni-menu
xdotool key Escape
echo "PASS: a right click in the host opens the menu"

# --- 2. Activation, a window item, tip and picture ---------------------------------------------
click 'H_ide'
hidden() { ! visible '^Internet & LAN$'; }
wait_for 50 hidden || fail '"H&ide" through the host did not hide the windows'
gdbus call --session -d "$svc" -o /StatusNotifierItem -m org.kde.StatusNotifierItem.Activate 0 0 \
  >/dev/null || fail "the item refused the host's activation"
wait_for 50 visible '^Internet & LAN$' || fail "the host's activation did not open the windows"
click Internet
wait_for 50 visible '^Internet$' || fail '"Internet" through the host did not show its window'
wait_for 20 eval '[ "$(checked Internet)" = 1 ]' || fail "the shown window's item is not checked"
prop ToolTip | grep -q 'DL: ' || fail "the tip is not the readout: $(prop ToolTip)"
[ "$(prop IconPixmap | grep -o '(16, 16' | wc -l)" -ge 1 ] ||
  fail "no picture of 16 x 16 pixels: $(prop IconPixmap | head -c 200)"
echo "PASS: activation opens the windows, the host's clicks act, tip and picture are there"

# --- 3. Exit -----------------------------------------------------------------------------------
click 'E_xit'
for _ in $(seq 150); do kill -0 "$zpid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$zpid" 2>/dev/null && fail '"E&xit" through the host did not end the program within 15 s'
wait "$zpid"
rc=$?
[ "$rc" -eq 0 ] || fail "the program ended with $rc after \"E&xit\""
echo "PASS: \"E&xit\" through the host ends the program with exit code 0"

# --- 4. A host that comes later ----------------------------------------------------------------
kill -TERM "$host_pid"
wait_for 50 eval '! host_ready' || fail "the host did not go"
"$zul" >"$work/late.log" 2>&1 &
zpid=$!
pids+=("$zpid")
wait_for 100 visible '^Internet & LAN$' || fail "without a host the primary window did not show"
start_host
wait_for 100 has_item || fail "the icon did not register with a host that started later"
use_item
[ -n "$(item_id 'E_xit')" ] || fail "the later icon exports no menu: $(layout)"
click 'E_xit'
for _ in $(seq 150); do kill -0 "$zpid" 2>/dev/null || break; sleep 0.1; done
wait "$zpid"
rc=$?
[ "$rc" -eq 0 ] || fail "the program ended with $rc after \"E&xit\" from the later host"
echo "PASS: a host that starts after the program gets the icon and its menu"
