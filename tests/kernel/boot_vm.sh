#!/bin/bash
# Boots Debian's stock kernel under qemu with the listener, can-utils and busybox in an
# initramfs. The VM's /init (vm_init.sh) loads the CAN modules, makes vcan0, runs the cases of
# <work>/guest/cases.sh and prints their results on the console, which ends in
# <work>/console.log. Packages are kept in <cache> and reused by later runs.
#
# usage: boot_vm.sh <program> <cache folder> <work folder>
#
# Exit status: 0 when qemu ran to its end (the console tells how the cases went), 1 when the
# VM could not be prepared or did not power off in time, 77 when a package it needs could not
# be downloaded or installed (offline, with an empty cache) and CI is not set: the test is then
# skipped. In CI (CI=true) that is a failure like any other.

set -euo pipefail

# A warm run boots in about 3 s and runs the cases in well under two minutes; anything far
# beyond that is a hang.
VM_SECONDS=240
DOWNLOAD_SECONDS=600
INSTALL_SECONDS=900

# Loaded in this order: each one needs only those before it, and the kernel package carries
# no modules.dep to work the order out at boot.
MODULES="can can-raw can-j1939 can-dev vcan"
CAN_TOOLS="cansend candump j1939cat cangen"

here=$(cd "$(dirname "$0")" && pwd)

fail()
{
	echo "kernel test: $*" >&2
	exit 1
}

# A package that cannot be fetched: a machine offline skips the test, CI fails it.
unavailable()
{
	if [ "${CI:-}" = true ]; then
		fail "$*"
	fi
	echo "kernel test: skipped: $* (offline? CI=true makes this a failure)" >&2
	exit 77
}

note()
{
	echo "kernel test: $*" >&2
}

[ $# -eq 3 ] || fail "usage: boot_vm.sh <program> <cache folder> <work folder>"
program=$1
cache=$2
work=$3
[ -x "$program" ] || fail "$program is not an executable program"
[ -f "$work/guest/cases.sh" ] || fail "$work/guest/cases.sh is missing"
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)
work=$(cd "$work" && pwd)

apt_lists_ready=no

# A machine that never ran apt-get update knows no package at all; one update is enough.
ensure_apt_lists()
{
	if [ $apt_lists_ready = yes ]; then
		return
	fi
	if apt-cache show --no-all-versions linux-image-amd64 >/dev/null 2>&1; then
		apt_lists_ready=yes
		return
	fi
	[ "$(id -u)" -eq 0 ] || fail "apt knows no packages and only root may run apt-get update"
	note "apt has no package lists: apt-get update"
	timeout $DOWNLOAD_SECONDS apt-get update >&2 || unavailable "apt-get update failed"
	apt_lists_ready=yes
}

ensure_qemu()
{
	if command -v qemu-system-x86_64 >/dev/null; then
		return
	fi
	[ "$(id -u)" -eq 0 ] ||
		fail "qemu-system-x86_64 is missing; install package qemu-system-x86 (needs root)"
	ensure_apt_lists
	note "installing qemu-system-x86"
	DEBIAN_FRONTEND=noninteractive timeout $INSTALL_SECONDS \
		apt-get install -y --no-install-recommends qemu-system-x86 >&2 ||
		unavailable "apt-get install qemu-system-x86 failed"
	command -v qemu-system-x86_64 >/dev/null ||
		fail "qemu-system-x86 is installed but qemu-system-x86_64 is not on PATH"
}

candidate_version()
{
	apt-cache show --no-all-versions "$1" 2>/dev/null | sed -n 's/^Version: //p' | head -n 1
}

# linux-image-amd64 is only a pointer to the current kernel package; its first dependency
# names that package.
resolve_kernel_package()
{
	ensure_apt_lists
	apt-cache show --no-all-versions linux-image-amd64 |
		sed -n 's/^Depends: \(linux-image-[^ ,]*\).*/\1/p' | head -n 1
}

# Prints the folder that holds the package's files, downloading and unpacking it when the
# cache does not have this version yet.
fetch_package()
{
	local package=$1 version dir tmp

	ensure_apt_lists
	version=$(candidate_version "$package")
	[ -n "$version" ] || fail "apt knows no version of $package"
	dir="$cache/${package}_${version//:/%3a}"
	if [ -f "$dir/complete" ]; then
		echo "$dir"
		return
	fi

	note "downloading $package $version"
	rm -rf "$dir" "$dir.tmp"
	tmp="$dir.tmp"
	mkdir -p "$tmp/root"
	# apt's download sandbox user must be able to write the folder.
	chmod 0777 "$tmp"
	if ! (cd "$tmp" && timeout $DOWNLOAD_SECONDS apt-get download "$package=$version") >&2; then
		# Lists older than the archive name files that are gone; fresh lists name new ones.
		[ "$(id -u)" -eq 0 ] || unavailable "apt-get download $package=$version failed"
		note "download failed: apt-get update and another try"
		timeout $DOWNLOAD_SECONDS apt-get update >&2 || unavailable "apt-get update failed"
		version=$(candidate_version "$package")
		(cd "$tmp" && timeout $DOWNLOAD_SECONDS apt-get download "$package=$version") >&2 ||
			unavailable "apt-get download $package=$version failed"
		dir="$cache/${package}_${version//:/%3a}"
	fi
	dpkg -x "$tmp"/*.deb "$tmp/root" || fail "dpkg -x of $package failed"
	rm -f "$tmp"/*.deb
	touch "$tmp/complete"
	chmod 0755 "$tmp"
	rm -rf "$dir"
	mv "$tmp" "$dir"
	echo "$dir"
}

# The kernel package unpacks to 400 MB; the cache keeps the kernel and the five modules only.
fetch_kernel()
{
	local package dir found module

	# A command substitution runs without errexit: a failure in it is passed on by hand, with
	# its status (77 for a skip).
	package=$(resolve_kernel_package) || exit
	[ -n "$package" ] || fail "cannot tell which package linux-image-amd64 stands for"
	dir=$(fetch_package "$package") || exit
	if [ ! -f "$dir/vmlinuz" ]; then
		mkdir -p "$dir/modules"
		for module in $MODULES; do
			found=$(find "$dir/root/lib/modules" -name "$module.ko" | head -n 1)
			[ -n "$found" ] || fail "$package holds no $module.ko"
			cp "$found" "$dir/modules/"
		done
		found=$(find "$dir/root/boot" -name 'vmlinuz-*' | head -n 1)
		[ -n "$found" ] || fail "$package holds no vmlinuz"
		cp "$found" "$dir/vmlinuz.tmp"
		rm -rf "$dir/root"
		mv "$dir/vmlinuz.tmp" "$dir/vmlinuz"
	fi
	echo "$dir"
}

# Copies a binary's shared libraries and its loader into the initramfs at their own paths.
copy_libraries()
{
	local binary=$1 root=$2 lib

	for lib in $(ldd "$binary" | sed -n 's/.*=> \(\/[^ ]*\).*/\1/p; s/^[[:space:]]*\(\/[^ ]*\) .*/\1/p'); do
		mkdir -p "$root$(dirname "$lib")"
		cp -L "$lib" "$root$lib"
	done
}

ensure_qemu
kernel=$(fetch_kernel)
busybox=$(fetch_package busybox-static)/root/bin/busybox
can_utils=$(fetch_package can-utils)/root/usr/bin
[ -x "$busybox" ] || fail "busybox-static holds no bin/busybox"

root="$work/root"
rm -rf "$root" "$work/initramfs.cpio" "$work/console.log"
mkdir -p "$root/bin" "$root/modules" "$root/test"
cp "$busybox" "$root/bin/busybox"
cp "$here/vm_init.sh" "$root/init"
chmod 0755 "$root/init"
for module in $MODULES; do
	cp "$kernel/modules/$module.ko" "$root/modules/"
done
for tool in $CAN_TOOLS; do
	[ -x "$can_utils/$tool" ] || fail "can-utils holds no $tool"
	cp "$can_utils/$tool" "$root/bin/"
	copy_libraries "$can_utils/$tool" "$root"
done
cp "$program" "$root/test/n2k-listen"
copy_libraries "$program" "$root"
cp -R "$work/guest/." "$root/"

# The host has no cpio; busybox's own does the job.
(cd "$root" && find . | "$busybox" cpio -o -H newc >"$work/initramfs.cpio" 2>/dev/null) ||
	fail "cannot pack the initramfs"

note "booting $(basename "$kernel")"
set +e
timeout -k 5 $VM_SECONDS qemu-system-x86_64 -accel tcg -m 512 -smp 1 \
	-display none -monitor none -parallel none -serial "file:$work/console.log" \
	-nic none -no-reboot \
	-kernel "$kernel/vmlinuz" -initrd "$work/initramfs.cpio" \
	-append "console=ttyS0 panic=-1" </dev/null >&2
status=$?
set -e
if [ $status -eq 124 ] || [ $status -eq 137 ]; then
	fail "the VM did not power off within $VM_SECONDS s"
fi
[ $status -eq 0 ] || fail "qemu failed with status $status"
exit 0
