#!/bin/busybox sh
# /init of the kernel test's VM. Loads the CAN modules, makes vcan0 and runs /cases.sh, which
# calls run_case for every case after defining the case's traffic. Each result goes to the
# console in base64 between markers, so that nothing in it is lost or mangled on its way out;
# the host decodes and compares. The VM powers itself off at the end, and after WATCHDOG
# seconds whatever happens.

WATCHDOG=200
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

# A user without root's privileges, for a listener that may not force its receive queue.
mkdir -p /etc
echo 'nobody:x:65534:65534:nobody:/:/bin/sh' >/etc/passwd
echo 'nogroup:x:65534:' >/etc/group

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

# Readers of the listener's standard output, for run_reader_case. Each stops at /tmp/out's end
# when the listener closes its end.

# Takes nothing while the listener is not blocked in a write (x86-64 system call 1), then
# nothing for one second more, then everything: a log on an SD card that flushes, or a pipe
# reader paused, while the bus goes on.
stalling_reader()
{
	while [ ! -s /tmp/listener.pid ]; do
		sleep 0.02
	done
	pid=$(cat /tmp/listener.pid)
	while [ -e "/proc/$pid" ] && [ "$(cut -d ' ' -f 1 "/proc/$pid/syscall" 2>/dev/null)" != 1 ]; do
		sleep 0.02
	done
	sleep 1
	exec cat
}

# Takes 512 bytes at a time, about 20 kB a second in all, until the traffic is over, then
# everything at once.
slow_reader()
{
	while [ ! -e /tmp/traffic.done ]; do
		dd bs=512 count=1 2>/dev/null
		usleep 20000
	done
	exec cat
}

# run_reader_case NAME STOP READER USER ARGUMENT...: like run_case, but the listener runs as
# USER (root, or nobody, who may not force its receive queue) with standard output through a
# pipe to the function READER. Once the traffic is over the reader takes everything, and the
# listener is stopped once it has printed what its queue held and waits for more.
run_reader_case()
{
	name=$1
	stop=$2
	reader=$3
	user=$4
	shift 4

	: >/tmp/log
	rm -f /tmp/listener.pid /tmp/traffic.done /tmp/stdout.pipe
	mkfifo /tmp/stdout.pipe
	$reader </tmp/stdout.pipe >/tmp/out 2>>/tmp/log &
	reader_pid=$!
	if [ "$user" = root ]; then
		timeout -s KILL $LISTENER_SECONDS /test/n2k-listen "$@" >/tmp/stdout.pipe 2>/tmp/err &
	else
		# su and its shell exec in place, so the pid stays the listener's.
		timeout -s KILL $LISTENER_SECONDS su -s /bin/sh -c "exec /test/n2k-listen $*" "$user" \
			>/tmp/stdout.pipe 2>/tmp/err &
	fi
	listener=$!
	echo $listener >/tmp/listener.pid
	await_receive $listener

	# The pace the bus really had, for a failure's report.
	began=$(cut -d ' ' -f 1 /proc/uptime)
	traffic >>/tmp/log 2>&1
	echo "traffic from $began to $(cut -d ' ' -f 1 /proc/uptime) s of uptime" >>/tmp/log
	touch /tmp/traffic.done

	sleep 1
	await_receive $listener
	kill "-$stop" $listener
	wait $listener
	status=$?
	wait $reader_pid
	emit "$name" $status
}

# shellcheck disable=SC1091 # written by the host for each run
. /cases.sh
finish complete
