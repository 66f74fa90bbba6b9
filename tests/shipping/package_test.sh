#!/bin/sh
# Builds the Debian package, unpacks it and runs the packaged binary's usage path.
set -eu
build_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$work" && cpack --config "$build_dir/CPackConfig.cmake" -B "$work" >/dev/null)
deb=$(ls "$work"/*.deb)
dpkg-deb --info "$deb" | grep -q 'Depends: .*libc6' || { echo "no computed dependencies" >&2; exit 1; }
dpkg-deb -x "$deb" "$work/root"
for f in usr/bin/n2k-listen usr/share/man/man1/n2k-listen.1 usr/share/drelvin/n2k-devices.conf; do
    [ -f "$work/root/$f" ] || { echo "package lacks $f" >&2; exit 1; }
done

status=0
"$work/root/usr/bin/n2k-listen" 2>"$work/err" >"$work/out" || status=$?
[ "$status" = 1 ] || { echo "usage path gave status $status" >&2; exit 1; }
[ ! -s "$work/out" ] || { echo "usage path wrote to stdout" >&2; exit 1; }
head -1 "$work/err" | grep -q '^Usage: .*n2k-listen <interface> \[options\]$' ||
    { echo "no usage text" >&2; cat "$work/err" >&2; exit 1; }
echo "package ok: $(basename "$deb")"
