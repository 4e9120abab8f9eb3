#!/usr/bin/env bash
# cmake --install into a staging folder, as the Debian package is made: the program, its sound and
# the capture helper together in lib/zul, bin/zul a symlink onto the program, the desktop entry,
# icon and metainfo in place and valid, and no file with capabilities (they are the postinst's).
set -u
cmake=$1 build=$2 version=$3 helper_expected=$4 group=${5-}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fails=0
fail() {
  echo "FAIL: $*"
  fails=$((fails + 1))
}

DESTDIR=$work "$cmake" --install "$build" --prefix /usr >"$work/install.log" 2>&1 ||
  { sed 's/^/  install: /' "$work/install.log"; echo "FAIL: cmake --install"; exit 1; }
root=$work/usr
id=org.zul.Monitor

for f in lib/zul/zul lib/zul/Alert.wav share/applications/$id.desktop \
  share/icons/hicolor/scalable/apps/$id.svg share/metainfo/$id.metainfo.xml \
  share/doc/zul/guide/user.html share/doc/zul/screenshot.png; do
  [ -f "$root/$f" ] || fail "$f is missing"
done
[ -x "$root/lib/zul/zul" ] || fail "lib/zul/zul is not executable"

# The program looks for its sound in the folder of its real executable, not of the symlink.
[ -L "$root/bin/zul" ] || fail "bin/zul is not a symlink"
[ "$(readlink "$root/bin/zul")" = ../lib/zul/zul ] || fail "bin/zul points to $(readlink "$root/bin/zul")"
real=$(readlink -f "$root/bin/zul")
[ -f "$(dirname "$real")/Alert.wav" ] || fail "no Alert.wav beside $real"
[ "$("$root/bin/zul" --version 2>&1)" = "ZUL $version" ] || fail "bin/zul --version does not answer"

helper=$root/lib/zul/zul-capture
if [ "$helper_expected" = 1 ]; then
  if [ ! -f "$helper" ]; then
    fail "lib/zul/zul-capture is missing"
  else
    want=755
    [ -z "$group" ] || want=750
    [ "$(stat -c %a "$helper")" = "$want" ] || fail "zul-capture has mode $(stat -c %a "$helper"), not $want"
  fi
fi
if command -v getcap >/dev/null; then
  caps=$(getcap -r "$work" 2>/dev/null)
  [ -z "$caps" ] || fail "files with capabilities in a staging install: $caps"
fi

# The entry, the icon and the metadata name one another.
desktop=$root/share/applications/$id.desktop
metainfo=$root/share/metainfo/$id.metainfo.xml
grep -qx "Icon=$id" "$desktop" || fail "the desktop entry names another icon"
grep -qx "Exec=zul" "$desktop" || fail "the desktop entry starts another program"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" ||
  fail "the metainfo launches another desktop entry"
grep -q "<release version=\"$version\"" "$metainfo" || fail "the metainfo has no release $version"
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$desktop" || fail "desktop-file-validate"
else
  echo "desktop-file-validate is not installed: the entry is not validated"
fi
if command -v appstreamcli >/dev/null; then
  appstreamcli validate --no-net "$metainfo" >"$work/as.log" 2>&1 ||
    { sed 's/^/  appstream: /' "$work/as.log"; fail "appstreamcli validate"; }
else
  echo "appstreamcli is not installed: the metainfo is not validated"
fi

[ "$fails" -eq 0 ] || exit 1
echo "install layout: all checks passed"
