#!/bin/sh
# deb_drop_opt.sh PACKAGE.deb: rewrites the package with its data archive less the entry
# "./opt/" (the files below it stay). The members keep their order.
set -eu
deb=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
ar x "$deb"
data=$(ls data.tar.*)
case "$data" in
  data.tar.gz) unpack="gzip -dc"; pack="gzip -9n" ;;
  data.tar.xz) unpack="xz -dc"; pack="xz -6" ;;
  data.tar.zst) unpack="zstd -dcq"; pack="zstd -19q" ;;
  *) echo "deb_drop_opt.sh: unknown data member $data" >&2; exit 1 ;;
esac
mkdir tree
$unpack "$data" | tar -xpf - -C tree
$unpack "$data" | tar -tf - | grep -vx './opt/' >members
# The same members in the same order, each on its own (a directory without its content).
tar -cf - --no-recursion --owner=root:0 --group=root:0 -C tree -T members |
  $pack >"$data.new"
mv "$data.new" "$data"
control=$(ls control.tar.*)
rm -f "$deb"
ar rc "$deb" debian-binary "$control" "$data"
