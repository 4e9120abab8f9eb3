#!/usr/bin/env bash
# Installs what building, running and testing need on Debian 12; safe to run again.
set -euo pipefail
packages=(
  build-essential cmake pkg-config clang-format
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libpcap-dev libsqlite3-dev sqlite3
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-multimedia-dev libqt6multimedia6 gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  xvfb xauth iproute2 procps libcap2-bin fonts-dejavu-core fonts-wqy-microhei
  openbox trayer xdotool x11-utils imagemagick ccache
  prometheus curl desktop-file-utils appstream
  iftop nload tmux
  clang libclang-rt-14-dev llvm
  # Build: the X11 tray lookup. Tests only: a StatusNotifierItem host on a private session bus.
  libxcb1-dev haskell-gtk-sni-tray-utils dbus-daemon libglib2.0-bin
  mutter sway xwayland qt6-wayland  # Tests only: Wayland compositors, with and without XWayland
)
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${packages[@]}"
