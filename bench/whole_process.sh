#!/usr/bin/env bash
# The whole-process figure: the listener plays a capture on the simulated bus as fast as the bus
# delivers it, output to /dev/null, in raw and in JSON mode, beside a bare receive loop over the
# same bus that formats nothing (the cost of receiving alone). Then valgrind's heap summary for
# two capture sizes shows that nothing is allocated per message.
#
# Usage: bench/whole_process.sh [--smoke] [BUILD_DIR]
#   BUILD_DIR  a build with the listener, sim/ and bench/ (default: build-bench beside bench/)
#   --smoke    a small capture and one round: proves that the figure can be made, as CTest does
# Environment: N2K_BENCH_MESSAGES (default 1000000), N2K_BENCH_RUNS (rounds, default 9).
set -euo pipefail

smoke=0
if [ "${1:-}" = "--smoke" ]; then
    smoke=1
    shift
fi
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build-bench}" && pwd)

listener=$build/n2k-listen
bare=$build/bench/bare_receive
clock=$build/bench/libreceive_clock.so
bus=$build/sim/libn2k_sim.so
descriptions=$here/whole_process.conf
for file in "$listener" "$bare" "$clock" "$bus"; do
    if [ ! -e "$file" ]; then
        echo "whole_process: $file is missing; build $build first" >&2
        exit 1
    fi
done

if [ $smoke = 1 ]; then
    messages=20000
    runs=1
    heap_counts="100 1000"
else
    messages=${N2K_BENCH_MESSAGES:-1000000}
    runs=${N2K_BENCH_RUNS:-9}
    heap_counts="1000 100000"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# COUNT frames in the candump log format: ten PGNs of a boat's instruments in turn, 8 bytes of
# pseudo-random payload each (the same on every run), one every 100 microseconds.
make_capture() {
    awk -v count="$1" 'BEGIN {
        split("127250 127251 127257 127488 127508 128267 129025 129026 130306 130311", pgns, " ")
        split("2 2 2 2 6 3 2 2 2 5", priorities, " ")
        split("5 5 5 32 70 35 3 3 16 35", sources, " ")
        x = 20231114
        for (i = 0; i < count; i++) {
            k = i % 10 + 1
            id = priorities[k] * 67108864 + pgns[k] * 256 + sources[k]
            data = ""
            for (b = 0; b < 8; b++) {
                x = (x * 16807) % 2147483647
                data = data sprintf("%02X", int(x / 65536) % 256)
            }
            printf "(%d.%06d) can0 %08X#%s\n", 1700000000 + int(i / 10000), (i % 10000) * 100, id, data
        }
    }' >"$2"
}

# Runs one program on the capture with the receive clock in front of the bus; prints
# "<messages> <seconds of the receive loop> <CPU seconds in it> <seconds of the whole process>".
run_on_bus() {
    local capture=$1
    shift
    local start end got seconds cpu
    rm -f "$work/clock"
    start=$(date +%s%N)
    if ! LD_PRELOAD="$clock $bus" N2K_SIM_FEED="$capture" N2K_RECEIVE_CLOCK="$work/clock" \
        "$@" >/dev/null 2>"$work/stderr"; then
        echo "whole_process: $* failed:" >&2
        cat "$work/stderr" >&2
        exit 1
    fi
    end=$(date +%s%N)
    read -r got seconds cpu <"$work/clock"
    echo "$got $seconds $cpu $(awk -v ns=$((end - start)) 'BEGIN { printf "%.3f", ns / 1e9 }')"
}

median() {
    tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

make_capture "$messages" "$work/capture.log"

# Each round runs the three one after the other, so that a round's ratios compare runs made
# under the same load; the figure is the median of the rounds' ratios.
declare -A best_rate best_loop best_whole ratios cpu_ratios
for ((round = 1; round <= runs; round++)); do
    for kind in bare raw json; do
        case $kind in
        bare) result=$(run_on_bus "$work/capture.log" "$bare" can0) ;;
        raw) result=$(run_on_bus "$work/capture.log" "$listener" can0) ;;
        json) result=$(run_on_bus "$work/capture.log" "$listener" can0 -j -c "$descriptions") ;;
        esac
        read -r got seconds cpu whole <<<"$result"
        if [ "$got" != "$messages" ]; then
            echo "whole_process: $kind received $got of $messages messages" >&2
            exit 1
        fi
        rate=$(awk -v n="$got" -v s="$seconds" 'BEGIN { printf "%.0f", n / s }')
        if [ -z "${best_rate[$kind]:-}" ] || [ "$rate" -gt "${best_rate[$kind]}" ]; then
            best_rate[$kind]=$rate
            best_loop[$kind]=$seconds
            best_whole[$kind]=$whole
        fi
        if [ $kind = bare ]; then
            bare_seconds=$seconds
            bare_cpu=$cpu
        else
            ratios[$kind]+=" $(awk -v b="$bare_seconds" -v s="$seconds" 'BEGIN { print b / s }')"
            cpu_ratios[$kind]+=" $(awk -v b="$bare_cpu" -v s="$cpu" 'BEGIN { print b / s }')"
        fi
    done
done

# What the listener printed is checked once, outside the timed runs.
LD_PRELOAD="$bus" N2K_SIM_FEED="$work/capture.log" "$listener" can0 >"$work/raw.out"
lines=$(grep -c '^PGN: ' "$work/raw.out" || true)
if [ "$lines" != "$messages" ]; then
    echo "whole_process: raw mode printed $lines lines for $messages messages" >&2
    exit 1
fi
rm -f "$work/raw.out"

echo "Whole process on the simulated bus: $messages messages of 8 bytes, output to /dev/null,"
echo "$runs rounds of bare loop, raw mode and JSON mode. The receive loop is timed from the first"
echo "receive to the end of the capture; rates are each program's best round (this machine's"
echo "figures), ratios the median over the rounds of the mode's rate over the bare loop's in the"
echo "same round, by the wall clock and by the CPU time spent in the loop."
printf '  %-18s %10s msg/s  loop %7.3f s  process %7.3f s  the limit\n' "bare receive loop" \
    "${best_rate[bare]}" "${best_loop[bare]}" "${best_whole[bare]}"
for kind in raw json; do
    target=0.9
    [ $kind = json ] && target=0.75
    r=$(median <<<"${ratios[$kind]}")
    c=$(median <<<"${cpu_ratios[$kind]}")
    printf '  %-18s %10s msg/s  loop %7.3f s  process %7.3f s  ratio %.3f (CPU %.3f)' \
        "$kind mode" "${best_rate[$kind]}" "${best_loop[$kind]}" "${best_whole[$kind]}" "$r" "$c"
    if [ $smoke = 1 ]; then
        echo
    else
        echo "  target >= $target: $(awk -v r="$r" -v t=$target 'BEGIN { print (r >= t ? "met" : "MISSED") }')"
    fi
done
for kind in raw json; do
    echo "  $kind ratios by round:$(awk '{ for (i = 1; i <= NF; i++) printf " %.3f", $i }' <<<"${ratios[$kind]}")"
done

# The heap summary of a whole run under valgrind. The bus is part of the process and allocates
# while it reads the capture; the bare loop shows what that costs, so the listener's own
# allocations are its run's less the bare loop's.
heap_allocs() {
    local capture=$1
    shift
    rm -f "$work"/valgrind.*
    if ! LD_PRELOAD="$bus" N2K_SIM_FEED="$capture" valgrind --log-file="$work/valgrind.%p" \
        "$@" >/dev/null 2>&1; then
        echo "whole_process: valgrind $* failed" >&2
        cat "$work"/valgrind.* >&2
        exit 1
    fi
    # Only the listener's own process ends with a summary; the bus's feeder is killed.
    sed -n 's/.*total heap usage: \([0-9,]*\) allocs.*/\1/p' "$work"/valgrind.* | tr -d ,
}

echo
echo "Heap allocations of the whole process (valgrind's heap summary, bus included):"
printf '  %-30s' ""
for count in $heap_counts; do
    printf '%14s' "$count msgs"
done
echo
declare -A allocs
for kind in bare raw json; do
    printf '  %-30s' "$kind"
    for count in $heap_counts; do
        make_capture "$count" "$work/heap-$count.log"
        case $kind in
        bare) allocs[$kind.$count]=$(heap_allocs "$work/heap-$count.log" "$bare" can0) ;;
        raw) allocs[$kind.$count]=$(heap_allocs "$work/heap-$count.log" "$listener" can0) ;;
        json) allocs[$kind.$count]=$(heap_allocs "$work/heap-$count.log" "$listener" can0 -j \
            -c "$descriptions") ;;
        esac
        printf '%14s' "${allocs[$kind.$count]}"
    done
    echo
done

status=0
for kind in raw json; do
    printf '  %-30s' "$kind, less the bare loop"
    own=""
    for count in $heap_counts; do
        n=$((allocs[$kind.$count] - allocs[bare.$count]))
        printf '%14s' "$n"
        if [ -n "$own" ] && [ "$n" != "$own" ]; then
            status=1
        fi
        own=$n
    done
    echo
done
if [ $status = 0 ]; then
    echo "  The listener's own allocations do not grow with the number of messages."
else
    echo "  MISSED: the listener's own allocations grow with the number of messages."
fi
first=${heap_counts%% *}
last=${heap_counts##* }
if [ "${allocs[bare.$first]}" != "${allocs[bare.$last]}" ]; then
    echo "  The bus itself allocates more for the longer capture (while it reads it, before the"
    echo "  first receive), so the whole process's counts differ by as much as the bare loop's."
fi
exit $status
