#!/bin/sh
# Installs into a temporary DESTDIR and checks the tree a packager would ship; then a build whose
# default description-file path points into that tree finds the installed file without -c.
set -eu
source_dir=$1
build_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
    echo "install test: $*" >&2
    exit 1
}

DESTDIR="$work/root" cmake --install "$build_dir" --prefix /usr >/dev/null
config=$(sed -n 's/^N2K_DEFAULT_CONFIG_PATH:STRING=//p' "$build_dir/CMakeCache.txt")
for f in usr/bin/n2k-listen usr/share/man/man1/n2k-listen.1 "${config#/}"; do
    [ -f "$work/root/$f" ] || fail "missing $f"
done
[ -x "$work/root/usr/bin/n2k-listen" ] || fail "the program is not executable"
cmp -s "$source_dir/share/n2k-devices.conf" "$work/root/${config#/}" || fail "description file differs"
extra=$(cd "$work/root" && find . -type f | sort | grep -v -x -e ./usr/bin/n2k-listen \
    -e ./usr/share/man/man1/n2k-listen.1 -e "./${config#/}" || true)
[ -z "$extra" ] || fail "unexpected files: $extra"

# A port that sets its own path gets the file where its binary looks.
cmake -S "$source_dir" -B "$work/build" -DN2K_BUILD_TESTS=OFF \
    -DN2K_DEFAULT_CONFIG_PATH="$work/port/share/n2k/n2k-devices.conf" >/dev/null
cmake --build "$work/build" --target n2k-listen -j2 >/dev/null
DESTDIR= cmake --install "$work/build" --prefix "$work/port" >/dev/null
[ -f "$work/port/share/n2k/n2k-devices.conf" ] || fail "port path not honoured"
# Without -c the installed binary reads the installed file: the loading succeeds, and the
# failure that follows is the interface lookup (this machine has no CAN interface).
out=$("$work/port/bin/n2k-listen" nosuch0 -j 2>&1 || true)
case "$out" in
*"Could not"*) fail "installed binary did not find its description file: $out" ;;
esac
echo "install tree ok"
