#!/bin/sh
# boot_vm.sh on a machine that can download nothing, with an empty cache: off CI the kernel test
# is skipped (status 77) with one line that says why; in CI (CI=true) it fails instead.
#
# usage: offline_test.sh <program> <work folder>
set -u

program=$1
work=$2
here=$(cd "$(dirname "$0")" && pwd)

fail()
{
	echo "offline test: $*" >&2
	exit 1
}

rm -rf "$work"
mkdir -p "$work/bin" "$work/guest" || fail "cannot make $work"
: >"$work/guest/cases.sh"
# Every apt-get call fails as it does without a network.
printf '#!/bin/sh\necho "E: Failed to fetch (offline)" >&2\nexit 100\n' >"$work/bin/apt-get"
chmod +x "$work/bin/apt-get"

for ci in "" true; do
	rm -rf "$work/cache"
	PATH="$work/bin:$PATH" CI=$ci bash "$here/boot_vm.sh" "$program" "$work/cache" "$work" \
		>"$work/out" 2>"$work/err"
	status=$?
	skips=$(grep -c '^kernel test: skipped: ' "$work/err")
	if [ -z "$ci" ]; then
		[ $status -eq 77 ] || fail "off CI: status $status, not 77; stderr: $(cat "$work/err")"
		[ "$skips" -eq 1 ] || fail "off CI: $skips skip lines, not 1; stderr: $(cat "$work/err")"
	else
		[ $status -eq 1 ] || fail "in CI: status $status, not 1; stderr: $(cat "$work/err")"
		[ "$skips" -eq 0 ] || fail "in CI: skipped; stderr: $(cat "$work/err")"
	fi
	[ ! -s "$work/out" ] || fail "standard output: $(cat "$work/out")"
done
echo "offline test: skipped off CI, failed in CI"
