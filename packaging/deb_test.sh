#!/bin/sh
# Checks a built package: its contents, the program it installs (unpacked into a scratch folder:
# its version, a list command on a scratch home, its size), its manual page and completions, and
# its service unit (systemd-analyze verify, and security --offline=yes under a threshold).
#   deb_test.sh PACKAGE.deb
set -eu
deb=$(readlink -f "$1")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "deb_test: $*" >&2; exit 1; }

contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in ./usr/bin/quillbox ./usr/share/man/man1/quillbox.1.gz ./usr/share/bash-completion/completions/quillbox \
  ./usr/share/zsh/vendor-completions/_quillbox ./usr/share/fish/vendor_completions.d/quillbox.fish \
  ./lib/systemd/system/quillbox.service ./usr/lib/sysusers.d/quillbox.conf ./etc/default/quillbox; do
  printf '%s\n' "$contents" | grep -qx "$f" || fail "the package holds no $f"
done
[ "$(dpkg-deb -f "$deb" Package)" = quillbox ] || fail "not the quillbox package"
dpkg-deb -I "$deb" conffiles | grep -qx /etc/default/quillbox || fail "/etc/default/quillbox is no conffile"

dpkg-deb -x "$deb" "$scratch/root"
bin=$scratch/root/usr/bin/quillbox
"$bin" --version | grep -q '^Quillbox' || fail "--version: $("$bin" --version)"
size=$(stat -c %s "$bin")
[ "$size" -lt 26214400 ] || fail "the program is $size bytes, over 25 MB"
readelf -S "$bin" | grep -q '\.symtab' && fail "the program is not stripped"
"$bin" --home "$scratch/home" notes add "from the package" >/dev/null
[ "$("$bin" --home "$scratch/home" notes list)" = "$(printf '1\tfrom the package')" ] || fail "notes list"

# The manual renders without a warning and names every command; bash completes from it.
page=$(MANWIDTH=100 man --warnings -l "$scratch/root/usr/share/man/man1/quillbox.1.gz" 2>"$scratch/man.err")
[ ! -s "$scratch/man.err" ] || fail "man: $(cat "$scratch/man.err")"
for c in "notes list" "tasks toggle" "tags delete" "devices add" "serve" "address" "EXIT STATUS" "QUILLBOX_HOME"; do
  printf '%s\n' "$page" | grep -q -- "$c" || fail "the manual names no $c"
done
got=$(bash -c '. "$1"; COMP_WORDS=(quillbox tasks t); COMP_CWORD=2; _quillbox; echo "${COMPREPLY[*]}"' _ \
  "$scratch/root/usr/share/bash-completion/completions/quillbox")
[ "$got" = toggle ] || fail "bash completes 'quillbox tasks t' as '$got'"

# The unit, with the unpacked program in its place.
unit=$scratch/quillbox.service
sed "s|/usr/bin/quillbox|$bin|" "$scratch/root/lib/systemd/system/quillbox.service" >"$unit"
MANPATH=$scratch/root/usr/share/man systemd-analyze verify "$unit" 2>"$scratch/verify.err" || fail "systemd-analyze verify: $(cat "$scratch/verify.err")"
systemd-analyze security --offline=yes --threshold=25 "$unit" >"$scratch/security.out" 2>&1 ||
  fail "systemd-analyze security: $(tail -n 3 "$scratch/security.out")"
echo "deb_test: $(basename "$deb") passes ($(tail -n 1 "$scratch/security.out" | sed 's/^→ //'))"
