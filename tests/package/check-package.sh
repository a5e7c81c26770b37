#!/usr/bin/env bash
# The desktop integration files validate, `make package`'s .deb holds them and the program, the
# version agrees everywhere, and the package's dependencies resolve on this machine.
# Usage: check-package.sh <build folder> <source folder> <program>
set -euo pipefail
build=$1 source=$2 program=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

desktop-file-validate "$source/dist/com.corvana.Mixelot.desktop"
appstreamcli validate --no-net "$build/dist/com.corvana.Mixelot.metainfo.xml"

cpack -G DEB -B "$work" --config "$build/CPackConfig.cmake" >"$work/cpack.log" ||
  { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/mixelot_*.deb)

files=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in ./usr/bin/mixelot \
         ./usr/share/applications/com.corvana.Mixelot.desktop \
         ./usr/share/metainfo/com.corvana.Mixelot.metainfo.xml \
         ./usr/share/icons/hicolor/scalable/apps/com.corvana.Mixelot.svg \
         ./usr/share/icons/hicolor/symbolic/apps/com.corvana.Mixelot-symbolic.svg \
         ./usr/share/icons/hicolor/symbolic/apps/com.corvana.Mixelot-muted-symbolic.svg \
         ./usr/share/dbus-1/services/com.corvana.Mixelot.service; do
  grep -qxF "$f" <<<"$files" || fail "$f is not in the package"
done
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/dbus-1/services/com.corvana.Mixelot.service |
  grep -qx 'Exec=/usr/bin/mixelot' || fail "the D-Bus service does not start /usr/bin/mixelot"

version=$(dpkg-deb -f "$deb" Version)
[ "$("$program" --version)" = "mixelot $version" ] || fail "mixelot --version is not $version"
grep -q "<release version=\"$version\"" "$build/dist/com.corvana.Mixelot.metainfo.xml" ||
  fail "the metainfo does not name release $version"
dpkg-deb -f "$deb" Depends | grep -q 'libqt6core6' || fail "no linked libraries in Depends"

# Every dependency resolves (from installed packages or the configured archives).
apt-get install --simulate --no-install-recommends "$deb" >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; fail "the package's dependencies do not resolve"; }
# scripts/release signs it: the feed item's length and signature fit the package.
openssl genpkey -algorithm ed25519 -out "$work/test-key.pem"
"$source/scripts/release" "$work/test-key.pem" "$deb" >"$work/item.xml" 2>/dev/null
grep -q "length=\"$(stat -c %s "$deb")\"" "$work/item.xml" || fail "the feed item's length"
sed -n 's/.*sparkle:edSignature="\([^"]*\)".*/\1/p' "$work/item.xml" | base64 -d >"$work/sig"
openssl pkey -in "$work/test-key.pem" -pubout -out "$work/test-key.pub"
openssl pkeyutl -verify -rawin -pubin -inkey "$work/test-key.pub" -sigfile "$work/sig" \
  -in "$deb" >/dev/null || fail "the feed item's signature does not verify"
echo "check-package: $deb is complete"
