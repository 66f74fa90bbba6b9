#!/bin/busybox sh
# /init of the kernel test's VM. Loads the CAN modules, makes vcan0 and runs /cases.sh, which
# calls run_case for every case after defining the case's traffic. Each result goes to the
# console in base64 between markers, so that nothing in it is lost or mangled on its way out;
# the host decodes and compares. The VM powers itself off at the end, and after WATCHDOG
# seconds whatever happens.

WATCHDOG=140
# A listener that outlives this is killed, and its case fails on the status.
LISTENER_SECONDS=40

/bin/busybox mkdir -p /proc /sys /dev /tmp /sbin /usr/bin /usr/sbin
/bin/busybox --install -s
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev

# From here on only emergencies reach the console: a kernel line must not split a result.
echo 1 >/proc/sys/kernel/printk

# The first console line can share SeaBIOS's escape codes.
echo
echo "@@init"

(
	sleep $WATCHDOG
	echo "@@watchdog"
	poweroff -f
) &

finish()
{
	echo "@@done $1"
	sync
	poweroff -f
	sleep 10
}

for module in can can-raw can-j1939 can-dev vcan; do
	if ! insmod /modules/$module.ko; then
		finish "insmod $module failed"
	fi
done
if ! ip link add dev vcan0 type vcan || ! ip link set vcan0 up; then
	finish "cannot create vcan0"
fi

# Returns once the process sits in recvfrom (x86-64 system call 45) with nothing left to
# read, or has ended; gives up after ten seconds.
await_receive()
{
	pid=$1
	tries=0
	while [ $tries -lt 100 ]; do
		stat=$(cat "/proc/$pid/stat" 2>/dev/null) || return 0
		state=$(echo "$stat" | cut -d ' ' -f 3)
		if [ "$state" = Z ]; then
			return 0
		fi
		call=$(cut -d ' ' -f 1 "/proc/$pid/syscall" 2>/dev/null)
		if [ "$state" = S ] && [ "$call" = 45 ]; then
			return 0
		fi
		sleep 0.1
		tries=$((tries + 1))
	done
	echo "await_receive: $pid never blocked in recvfrom" >>/tmp/log
}

emit()
{
	echo "@@case $1"
	echo "@@stdout"
	base64 /tmp/out
	echo "@@stderr"
	base64 /tmp/err
	echo "@@log"
	base64 /tmp/log
	echo "@@status $2"
	echo "@@end $1"
}

# run_case NAME STOP ARGUMENT...: starts the listener with the arguments, sends the case's
# traffic once the listener waits in its receive, then sends it signal STOP (INT or TERM), or
# nothing for none, and waits for it to end.
run_case()
{
	name=$1
	stop=$2
	shift 2

	: >/tmp/log
	timeout -s KILL $LISTENER_SECONDS /test/n2k-listen "$@" >/tmp/out 2>/tmp/err &
	listener=$!
	await_receive $listener

	traffic >>/tmp/log 2>&1

	# Lets the last message travel through the stack before the listener is stopped.
	sleep 1
	await_receive $listener
	if [ "$stop" != none ]; then
		kill "-$stop" $listener
	fi
	wait $listener
	status=$?

	# A case may have taken the interface down.
	ip link set vcan0 up
	emit "$name" $status
}

# shellcheck disable=SC1091 # written by the host for each run
. /cases.sh
finish complete
