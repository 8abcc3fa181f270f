#!/bin/sh
# Installs quillbox from a built binary: the program (stripped), its manual page and bash, zsh and
# fish completions (both written by the program from its own command line), the systemd unit, its
# user and its settings.  install.sh BINARY DESTDIR PREFIX [UNITDIR]
set -eu
binary=$1 dest=$2 prefix=$3 unitdir=${4:-$prefix/lib/systemd/system}
here=$(dirname "$0")
install -d "$dest$prefix/bin" "$dest$prefix/share/man/man1" "$dest$prefix/share/bash-completion/completions" \
  "$dest$prefix/share/zsh/vendor-completions" "$dest$prefix/share/fish/vendor_completions.d" \
  "$dest$unitdir" "$dest$prefix/lib/sysusers.d" "$dest/etc/default"
install -m 0755 "$binary" "$dest$prefix/bin/quillbox"
strip --strip-unneeded "$dest$prefix/bin/quillbox"
"$binary" generate man | gzip -9n >"$dest$prefix/share/man/man1/quillbox.1.gz"
"$binary" generate bash >"$dest$prefix/share/bash-completion/completions/quillbox"
"$binary" generate zsh >"$dest$prefix/share/zsh/vendor-completions/_quillbox"
"$binary" generate fish >"$dest$prefix/share/fish/vendor_completions.d/quillbox.fish"
sed "s|/usr/bin/quillbox|$prefix/bin/quillbox|" "$here/quillbox.service" >"$dest$unitdir/quillbox.service"
install -m 0644 "$here/quillbox.sysusers" "$dest$prefix/lib/sysusers.d/quillbox.conf"
# Settings a person changed are kept.
[ -e "$dest/etc/default/quillbox" ] || install -m 0644 "$here/quillbox.default" "$dest/etc/default/quillbox"
chmod 0644 "$dest$prefix"/share/man/man1/quillbox.1.gz "$dest$prefix"/share/*/*/*quillbox* "$dest$unitdir/quillbox.service"
