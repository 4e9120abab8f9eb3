#!/usr/bin/env bash
# Installs the Debian 12 packages that ZUL needs; safe to run again. Nothing it installs starts a
# service.
#   scripts/install-deps.sh            what building and running the program need
#   scripts/install-deps.sh --tests    that, plus what the tests, the sanitizer and fuzz builds add
#   scripts/install-deps.sh --bench    that, plus the benchmarks' library and reference programs
# As root it runs apt-get itself; otherwise through sudo, and without sudo it says how to run it
# as root.
set -euo pipefail

run_packages=(
  build-essential cmake pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev qt6-multimedia-dev
  libpcap-dev libsqlite3-dev
  # The application counts: the kernel's programs built for the BPF target, their loader and its
  # skeleton generator.
  clang llvm libbpf-dev bpftool
  # The X11 tray lookup.
  libxcb1-dev
  # Run time: the alert sound's decoders, setcap for the capture helper, a sans-serif font for
  # the graph windows and one with the CJK glyphs of the message dialog's button.
  libqt6multimedia6 gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  libcap2-bin fonts-dejavu-core fonts-wqy-microhei
)
test_packages=(
  clang-format clang-tidy ccache libgtest-dev libgmock-dev
  # The end-to-end tests: a virtual X server, a window manager and a tray, clicks and screenshots.
  xvfb xauth openbox trayer xdotool x11-utils imagemagick
  # Network namespaces (and masquerading in them), the log read back, scrapes of the metrics and
  # a parser for their text.
  iproute2 nftables procps sqlite3 curl python3 python3-prometheus-client
  # The install test: the desktop entry, the metadata, the package's rules and hardening.
  desktop-file-utils appstream lintian devscripts
  # The fuzz targets: libFuzzer and its sanitizer run-times, and the symbolizer of their reports.
  clang libclang-rt-14-dev llvm
  # A StatusNotifierItem host on a private session bus.
  haskell-gtk-sni-tray-utils dbus-daemon libglib2.0-bin
  # Wayland sessions: GNOME's compositor and sway, headless, with XWayland and without it.
  mutter sway xwayland qt6-wayland
)
bench_packages=(libbenchmark-dev iftop nload tmux)

packages=("${run_packages[@]}")
case ${1-} in
  "") ;;
  --tests) packages+=("${test_packages[@]}") ;;
  --bench) packages+=("${test_packages[@]}" "${bench_packages[@]}") ;;
  *)
    echo "usage: $0 [--tests | --bench]" >&2
    exit 2
    ;;
esac

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "install-deps.sh: installing packages needs root, and sudo is not installed." >&2
    echo "Run it as root: su -c '$0${1:+ $1}'" >&2
    exit 1
  fi
  as_root=(sudo)
fi
"${as_root[@]}" apt-get update -qq
# No recommends: they would bring servers and desktop services nobody asked for.
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -qq --no-install-recommends "${packages[@]}"
