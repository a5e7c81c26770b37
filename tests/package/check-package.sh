#!/usr/bin/env bash
# The desktop integration files validate, `make package`'s .deb holds them and the program, its
# modes are right whatever the builder's umask, lintian finds no error, the version agrees
# everywhere, every QML module the views import is a dependency, the dependencies resolve on this
# machine, and scripts/release signs only for the key the program trusts.
# Usage: check-package.sh <build folder> <source folder> <program>
set -euo pipefail
build=$1 source=$2 program=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

desktop-file-validate "$source/dist/com.corvana.Mixelot.desktop"
appstreamcli validate --no-net "$build/dist/com.corvana.Mixelot.metainfo.xml"

(umask 077 && cpack -G DEB -B "$work" --config "$build/CPackConfig.cmake" >"$work/cpack.log") ||
  { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/mixelot_*.deb)

files=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in ./usr/bin/mixelot \
         ./usr/share/applications/com.corvana.Mixelot.desktop \
         ./usr/share/metainfo/com.corvana.Mixelot.metainfo.xml \
         ./usr/share/icons/hicolor/scalable/apps/com.corvana.Mixelot.svg \
         ./usr/share/icons/hicolor/symbolic/apps/com.corvana.Mixelot-symbolic.svg \
         ./usr/share/icons/hicolor/symbolic/apps/com.corvana.Mixelot-muted-symbolic.svg \
         ./usr/share/dbus-1/services/com.corvana.Mixelot.service \
         ./usr/share/doc/mixelot/copyright ./usr/share/doc/mixelot/changelog.gz; do
  grep -qxF "$f" <<<"$files" || fail "$f is not in the package"
done
bad_modes=$(dpkg-deb -c "$deb" | awk '$1 !~ /^(drwxr-xr-x|-rw-r--r--)$/ &&
  !($1 == "-rwxr-xr-x" && $6 == "./usr/bin/mixelot")')
[ -z "$bad_modes" ] || fail "modes other than 0755/0644 (built under umask 077): $bad_modes"
lintian --fail-on error "$deb" >"$work/lintian.log" 2>&1 || { cat "$work/lintian.log"; fail "lintian"; }
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/dbus-1/services/com.corvana.Mixelot.service |
  grep -qx 'Exec=/usr/bin/mixelot' || fail "the D-Bus service does not start /usr/bin/mixelot"

version=$(dpkg-deb -f "$deb" Version)
[ "$("$program" --version)" = "mixelot $version" ] || fail "mixelot --version is not $version"
grep -q "<release version=\"$version\"" "$build/dist/com.corvana.Mixelot.metainfo.xml" ||
  fail "the metainfo does not name release $version"
depends=$(dpkg-deb -f "$deb" Depends)
grep -q 'libqt6core6' <<<"$depends" || fail "no linked libraries in Depends"
grep -qw 'xdg-utils' <<<"$depends" || fail "xdg-utils (the installer hand-off) is not in Depends"
# Each imported module's package: the one that ships its qmldir here, else its Debian name.
qml=$(qtpaths6 --query QT_INSTALL_QML)
for module in $(grep -rhoE '^import Qt[A-Za-z.]+' "$source/ui" --include='*.qml' | awk '{print $2}' | sort -u); do
  package=$(dpkg-query -S "$qml/${module//.//}/qmldir" 2>/dev/null | cut -d: -f1)
  package=${package:-qml6-module-$(tr 'A-Z.' 'a-z-' <<<"$module")}
  grep -qw -- "$package" <<<"$depends" || fail "QML module $module ($package) is not in Depends"
done

# Every dependency resolves (from installed packages or the configured archives).
apt-get install --simulate --no-install-recommends "$deb" >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; fail "the package's dependencies do not resolve"; }
# scripts/release refuses a key the program does not trust, and signs a package whose program
# trusts it (a stand-in holding the key): the feed item's length and signature fit the package.
openssl genpkey -algorithm ed25519 -out "$work/test-key.pem"
! "$source/scripts/release" "$work/test-key.pem" "$deb" >/dev/null 2>&1 ||
  fail "scripts/release signed for a key the program does not trust"
mkdir -p "$work/stand-in/DEBIAN" "$work/stand-in/usr/bin"
chmod 0755 "$work/stand-in/DEBIAN"
printf 'Package: mixelot\nVersion: %s\nArchitecture: all\nMaintainer: T <t@example.com>\nDescription: t\n' \
  "$version" >"$work/stand-in/DEBIAN/control"
openssl pkey -in "$work/test-key.pem" -pubout -outform DER | tail -c 32 | base64 -w0 \
  >"$work/stand-in/usr/bin/mixelot"
deb=$work/stand-in.deb
dpkg-deb --root-owner-group --build "$work/stand-in" "$deb" >/dev/null
"$source/scripts/release" "$work/test-key.pem" "$deb" >"$work/item.xml" 2>/dev/null
grep -q "length=\"$(stat -c %s "$deb")\"" "$work/item.xml" || fail "the feed item's length"
sed -n 's/.*sparkle:edSignature="\([^"]*\)".*/\1/p' "$work/item.xml" | base64 -d >"$work/sig"
openssl pkey -in "$work/test-key.pem" -pubout -out "$work/test-key.pub"
openssl pkeyutl -verify -rawin -pubin -inkey "$work/test-key.pub" -sigfile "$work/sig" \
  -in "$deb" >/dev/null || fail "the feed item's signature does not verify"
echo "check-package: $deb is complete"
