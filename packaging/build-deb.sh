#!/bin/sh
# Builds the Debian package quillbox_VERSION_ARCH.deb in OUTDIR from a built binary: what
# install.sh installs under /usr (the unit in /lib/systemd/system), the maintainer scripts, and the
# libraries the binary links as its dependencies.  build-deb.sh BINARY OUTDIR
set -eu
binary=$1 out=$2
here=$(cd "$(dirname "$0")" && pwd)
version=$(sed -n 's/^project(Quillbox VERSION \([0-9.]*\).*/\1/p' "$here/../CMakeLists.txt")
arch=$(dpkg --print-architecture)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
sh "$here/install.sh" "$binary" "$stage" /usr /lib/systemd/system
mkdir -p "$stage/DEBIAN"
install -m 0755 "$here/postinst" "$here/prerm" "$stage/DEBIAN/"
echo /etc/default/quillbox >"$stage/DEBIAN/conffiles"
# The packages that hold the shared libraries the program loads.
depends=$(ldd "$stage/usr/bin/quillbox" | awk '/=> \//{print $3}' | while read -r lib; do
  dpkg -S "$(readlink -f "$lib")" 2>/dev/null || dpkg -S "$lib" 2>/dev/null || true; done |
  cut -d: -f1 | sort -u | paste -sd, | sed 's/,/, /g')
cat >"$stage/DEBIAN/control" <<CONTROL
Package: quillbox
Version: $version
Architecture: $arch
Maintainer: Quillbox <quillbox@localhost>
Section: utils
Priority: optional
Depends: $depends, systemd | adduser
Installed-Size: $(du -sk "$stage/usr" | cut -f1)
Description: notes, to-dos and tagged notes that follow you to your devices
 Quillbox keeps three lists in a local store mirrored to a cloud store: a
 folder, a Redis server, or a Quillbox server. quillbox serve runs the app for
 browsers and the cloud store for a person's laptop and phone; the quillbox
 service runs it on a home server.
CONTROL
mkdir -p "$out"
dpkg-deb --root-owner-group -Zxz --build "$stage" "$out/quillbox_${version}_${arch}.deb" >/dev/null
echo "$out/quillbox_${version}_${arch}.deb"
