#!/usr/bin/env bash
# run.sh: how fast quillog dumps a large log.
#
# Builds quillog (Release), writes a log of generated records (500,000 unless
# given), dumps it with Format=no and prints records per second next to the
# time a plain read and a plain copy of the same log file take, measured in
# the same run. Not a test: the figures depend on the machine.
#
# With --heap it also runs two dumps of different sizes under valgrind and
# prints their heap allocation counts: equal counts mean that no heap memory
# is taken per record.
#
# Usage: bench/run.sh [--heap] [records]
# The build folder is $QUILLOG_BUILD_DIR, by default build-bench. Needs GNU
# time (/usr/bin/time), and valgrind for --heap.
set -euo pipefail
cd "$(dirname "$0")/.."

heap=no
if [ "${1:-}" = "--heap" ]; then
  heap=yes
  shift
fi
records=${1:-500000}
build=${QUILLOG_BUILD_DIR:-build-bench}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 --target quillog >/dev/null

work=$(mktemp -d /tmp/quillog-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
g++ -std=c++17 -O2 -I. bench/mkbiglog.cpp "$build/libquillog_posix.a" -o "$work/mkbiglog"
export QUILLOG_NETWORK=$work/network COMPUTERNAME=BENCH TZ=UTC

mkdir -p "$work/bin"
cp "$build/quillog" "$work/bin/quillog"
printf 'Format=no\r\n' >"$work/bin/QUILLOG.INI"

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }

# Dumps log $1 into $2 with the copy of quillog; its console output goes to
# $3, its processor time (user and system seconds) to $work/cpu.txt.
dump() { /usr/bin/time -f "%U %S" -o "$work/cpu.txt" "$work/bin/quillog" "/logfile=sys=$1" "/outfile=$2" >"$3"; }

"$work/mkbiglog" "$work/big.evt" "$records"
bytes=$(stat -c %s "$work/big.evt")
cat "$work/big.evt" >/dev/null # into the page cache, as for every step below

t0=$(now)
cat "$work/big.evt" >/dev/null
t1=$(now)
cp "$work/big.evt" "$work/copy.evt"
t2=$(now)
dump "$work/big.evt" "$work/out.txt" "$work/console.txt"
t3=$(now)

lines=$(wc -l <"$work/out.txt")
if [ "$lines" -ne "$records" ]; then
  echo "bench: expected $records lines, got $lines" >&2
  cat "$work/console.txt" >&2
  exit 1
fi
read_s=$(elapsed "$t0" "$t1")
copy_s=$(elapsed "$t1" "$t2")
dump_s=$(elapsed "$t2" "$t3")
echo "log: $records records, $bytes bytes; output $(stat -c %s "$work/out.txt") bytes"
echo "cat > /dev/null: ${read_s} s"
echo "cp:              ${copy_s} s"
echo "quillog dump:    ${dump_s} s, $(awk -v n="$records" -v s="$dump_s" 'BEGIN { printf "%.0f", n / s }') records/s"
read -r user sys <"$work/cpu.txt"
echo "                 processor time ${user} s user + ${sys} s system (the rest is waiting for a shared machine)"
echo "load average:    $(cut -d' ' -f1-3 /proc/loadavg)"

if [ "$heap" = yes ]; then
  for n in 2000 20000; do
    "$work/mkbiglog" "$work/small$n.evt" "$n"
    valgrind --tool=memcheck "$work/bin/quillog" "/logfile=sys=$work/small$n.evt" "/outfile=$work/small$n.txt" \
      >/dev/null 2>"$work/valgrind$n.txt"
    echo "valgrind, $n records: $(grep -o 'total heap usage: .*' "$work/valgrind$n.txt")"
  done
fi
