#!/bin/sh
# Unpacks Debian 12's current source of a package, with Debian's patches applied:
#
#   sh tools/debian-source.sh PACKAGE FOLDER
#
# FOLDER/PACKAGE then holds the tree. apt fetches it through lists of its own (under FOLDER/apt), so
# the machine's apt sources stay as they are; it checks every file against the archive's signed index
# with the machine's Debian keyring, as it does for the binary packages.
set -eu
package=$1
mkdir -p "$2"
folder=$(cd "$2" && pwd)
apt="$folder/apt"
rm -rf "$apt" "$folder/$package"
mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/parts" "$apt/unpacked"
cat >"$apt/sources.list" <<EOF
deb-src http://deb.debian.org/debian bookworm main
deb-src http://deb.debian.org/debian bookworm-updates main
deb-src http://deb.debian.org/debian-security bookworm-security main
EOF
own="-o Dir::Etc::SourceList=$apt/sources.list -o Dir::Etc::SourceParts=$apt/parts
     -o Dir::State::Lists=$apt/lists -o Dir::Cache=$apt/cache -o APT::Sandbox::User=$(id -un)"
# shellcheck disable=SC2086
apt-get $own -q update >"$apt/update.log"
# shellcheck disable=SC2086
(cd "$apt/unpacked" && apt-get $own -q source "$package" >"$apt/source.log" 2>&1) ||
  { cat "$apt/source.log" >&2; exit 1; }
mv "$(find "$apt/unpacked" -mindepth 1 -maxdepth 1 -type d)" "$folder/$package"
rm -rf "$apt"
