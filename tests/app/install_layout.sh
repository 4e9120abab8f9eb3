#!/usr/bin/env bash
# cmake --install into a staging folder, as the Debian package is made: the program, its sound and
# the capture helper together in lib/zul, bin/zul a symlink onto the program, the desktop entry,
# icon and metainfo in place and valid, the documents Debian asks for, and no file with
# capabilities (they are the postinst's). In a hardened build (not Debug, no sanitizers) both
# binaries carry Debian's hardening, and the package that cpack makes passes lintian.
#
#   install_layout.sh CMAKE BUILD VERSION HELPER-EXPECTED GROUP HARDENED CPACK
set -u
cmake=$1 build=$2 version=$3 helper_expected=$4 group=${5-} hardened=${6-0} cpack=${7-}

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

# Debian's documents, compressed as it wants them, and the completion.
for f in share/doc/zul/copyright share/doc/zul/changelog.gz share/man/man1/zul.1.gz \
  share/man/man1/zul-capture.1.gz share/bash-completion/completions/zul; do
  [ -f "$root/$f" ] || fail "$f is missing"
done
grep -q "^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" \
  "$root/share/doc/zul/copyright" || fail "the copyright file is not machine-readable"
zcat "$root/share/doc/zul/changelog.gz" | head -1 | grep -q "^zul ($version)" ||
  fail "the changelog's first entry is not $version"
# Every option of the program is in its manual page and its completion.
help=$("$root/bin/zul" --help 2>&1)
for opt in $(grep -oE -- '--[a-z][a-z-]+' <<<"$help" | sort -u); do
  zcat "$root/share/man/man1/zul.1.gz" | grep -qF -- "${opt//-/\\-}" || fail "zul(1) lacks $opt"
  grep -qF -- "$opt" "$root/share/bash-completion/completions/zul" || fail "the completion lacks $opt"
done
bash -c ". '$root/share/bash-completion/completions/zul'; COMP_WORDS=(zul --grouping m); COMP_CWORD=2
  _zul; [ \"\${COMPREPLY[*]}\" = monthly ]" || fail "the completion does not complete --grouping"

# The hardening of both binaries. Debian 12's start files carry no control-flow marks, so the
# linked program cannot show them; the marks in its own code (endbr64) show the flag was used.
bins=("$root/lib/zul/zul")
[ "$helper_expected" = 1 ] && bins+=("$helper")
if [ "$hardened" != 1 ]; then
  echo "not a hardened build (Debug or sanitizers): hardening and lintian not checked"
elif command -v hardening-check >/dev/null; then
  hardening-check --nocfprotection "${bins[@]}" >"$work/hardening.log" 2>&1 ||
    { sed 's/^/  hardening: /' "$work/hardening.log"; fail "hardening-check"; }
  for b in "${bins[@]}"; do
    objdump -d "$b" | grep -qw endbr64 || fail "$(basename "$b") has no control-flow protection"
  done
else
  echo "hardening-check is not installed (Debian package devscripts): checking with readelf"
  for b in "${bins[@]}"; do
    n=$(basename "$b")
    readelf -h "$b" | grep -q "Type:.*DYN" || fail "$n is not position-independent"
    readelf -d "$b" | grep -q "FLAGS_1.*PIE" || fail "$n is not a PIE"
    readelf -d "$b" | grep -Eq "BIND_NOW|FLAGS_1.*NOW" || fail "$n is not bound at once"
    readelf -lW "$b" | grep -q GNU_RELRO || fail "$n has no read-only relocations"
    readelf -sW --dyn-syms "$b" | grep -q __stack_chk_fail || fail "$n has no stack protector"
    readelf -sW --dyn-syms "$b" | grep -q "_chk@" || fail "$n calls no fortified function"
  done
fi

if [ "$hardened" = 1 ] && [ -n "$cpack" ]; then
  if command -v lintian >/dev/null && command -v dpkg-shlibdeps >/dev/null; then
    (cd "$build" && "$cpack" -G DEB -B "$work/pkg") >"$work/cpack.log" 2>&1 ||
      { sed 's/^/  cpack: /' "$work/cpack.log"; fail "cpack -G DEB"; }
    deb=$(ls "$work"/pkg/zul_"$version"_*.deb 2>/dev/null | head -1)
    if [ -z "$deb" ]; then
      fail "cpack made no package"
    else
      # Errors and warnings fail; every override in the package says why it is there.
      lintian --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1 ||
        { sed 's/^/  lintian: /' "$work/lintian.log"; fail "lintian on $(basename "$deb")"; }
      grep -E "^[EW]:" "$work/lintian.log" && fail "lintian reports the lines above"
      dpkg-deb -I "$deb" control | grep -q "^Depends:.*fonts-wqy-microhei | fonts-noto-cjk" ||
        fail "the package does not depend on a font with CJK glyphs"
      dpkg-deb -e "$deb" "$work/control"
      [ -x "$work/control/postrm" ] || fail "the package has no postrm"
    fi
  else
    echo "lintian or dpkg-dev is not installed: the package is not checked"
  fi
fi

[ "$fails" -eq 0 ] || exit 1
echo "install layout: all checks passed"
