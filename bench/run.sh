#!/usr/bin/env bash
# run.sh: how fast quillog dumps a large log, next to the floor and a peer.
#
# Builds quillog, the log generator, the floor program and the benchmark's
# message DLLs (Release, in $QUILLOG_BUILD_DIR, by default build-bench);
# makes a network whose registry names the DLLs for a dozen System-log
# sources and whose accounts.txt names the records' users; generates one log
# (1,000,000 records, about 190 MB, from a fixed seed) and times, on that same
# file and in the same run:
#   quillog Format=no     every column from the record's own numbers and strings
#   quillog Format=yes    messages formatted from the DLLs, users resolved
#   floor                 bench/floor.cpp: reads the log with read() in blocks
#                         of 1,048,500 bytes and writes as many bytes as the
#                         dump, in as many write() calls as it has lines
#   evtexport             Debian's libevt-utils, the same log as text
#                         (evtxexport of libevtx-utils for an .evtx log)
#   baseline              with --baseline REV, quillog built from the git
#                         revision REV (Format=no and Format=yes), whose dumps
#                         must be byte for byte the same as this tree's
# Each is run several times, in interleaved rounds; the table shows the
# medians, the records per second, each dump against the floor that writes
# its output's size, the gain over evtexport, and the peak resident size
# (/usr/bin/time).
# Machines are noisy: compare only figures of one run of this script. The
# time zone is the caller's (TZ as it is set, or the system's), as in a
# user's run: the conversion of every record's time to local time is part of
# the cost.
#
# Usage: bench/run.sh [--records N] [--sources N] [--seed N] [--runs N] [--no-peer]
#                     [--baseline REV] [--evtx CHUNKS] [--short unregistered|registered]
# --evtx times an .evtx log instead: CHUNKS chunks of 64 KiB (1,000 make
# 65 MB and 125,400 records), samples/system.evtx's chunks over and over with
# their records renumbered (mkbiglog evtx). Its sources are not registered on
# the benchmark's computer, so Format=yes formats them without message texts.
# --sources above 12 adds sources that reuse the dozen's message files under
# their own names (to see how the source caches grow).
# --short times a log of short records instead (mkbiglog short; 200,000
# records of about 240 bytes unless --records says otherwise): a dozen
# sources of their own with 300 event ids each, 0 to 4 insertion strings of
# a few words, a SID on two records in three (four SIDs, two that do not
# resolve), 0 to 40 bytes of data. "unregistered" leaves its sources out of
# the computer's registry, so Format=yes goes through the caches of failed
# lookups (and reports every id once); "registered" names their messages'
# DLL, so every record is formatted.
# Missing Debian packages are installed when running as root.
set -euo pipefail
cd "$(dirname "$0")/.."

records= sources=12 seed=1 runs=5 peer=yes baseline= evtx= short=
usage() {
  echo "usage: bench/run.sh [--records N] [--sources N] [--seed N] [--runs N] [--no-peer] [--baseline REV]" \
    "[--evtx CHUNKS] [--short unregistered|registered]" >&2
  exit 2
}
while [ $# -gt 0 ]; do
  case "$1" in
    --records) records=$2; shift 2 ;;
    --sources) sources=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --no-peer) peer=no; shift ;;
    --baseline) baseline=$2; shift 2 ;;
    --evtx) evtx=$2; shift 2 ;;
    --short) case "${2:-}" in unregistered | registered) short=$2; shift 2 ;; *) usage ;; esac ;;
    *) usage ;;
  esac
done
[ -n "$records" ] || records=$([ -n "$short" ] && echo 200000 || echo 1000000)
build=${QUILLOG_BUILD_DIR:-build-bench}

packages=(cmake g++ time binutils-mingw-w64-x86-64 gcc-mingw-w64-x86-64)
peername=evtexport
[ -n "$evtx" ] && peername=evtxexport
[ "$peer" = yes ] && packages+=("$([ -n "$evtx" ] && echo libevtx-utils || echo libevt-utils)")
missing=()
for p in "${packages[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "bench: missing packages: ${missing[*]} (run as root, or install them)" >&2
    exit 1
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

echo "building (Release, $build) ..."
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target quillog mkbiglog benchfloor benchdlls >/dev/null

work=$(mktemp -d /tmp/quillog-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
export QUILLOG_NETWORK=$work/network COMPUTERNAME=BENCH
"$build/bench/mkbiglog" network "$QUILLOG_NETWORK/BENCH" "$build/bench/dlls" "$sources" \
  $([ "$short" = registered ] && echo short)
if [ -n "$evtx" ]; then
  echo "generating an .evtx log of $evtx chunks from samples/system.evtx ..."
  records=$("$build/bench/mkbiglog" evtx samples/system.evtx "$work/big.evtx" "$evtx")
  log=$work/big.evtx
elif [ -n "$short" ]; then
  echo "generating $records short records, sources $short (seed $seed) ..."
  "$build/bench/mkbiglog" short "$work/big.evt" "$records" "$seed"
  log=$work/big.evt
else
  echo "generating $records records from $sources sources (seed $seed) ..."
  "$build/bench/mkbiglog" log "$work/big.evt" "$records" "$seed" "$sources"
  log=$work/big.evt
fi

# Two copies of quillog, each with its QUILLOG.INI, and two of the baseline.
kinds=(raw fmt)
if [ -n "$baseline" ]; then
  echo "building the baseline $baseline (Release) ..."
  mkdir -p "$work/baseline-src"
  git archive "$baseline" | tar -x -C "$work/baseline-src"
  cmake -S "$work/baseline-src" -B "$work/baseline-build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$work/baseline-build" -j"$(nproc)" --target quillog >/dev/null
  kinds+=(baseraw basefmt)
fi
for kind in "${kinds[@]}"; do
  mkdir -p "$work/$kind"
  case $kind in base*) cp "$work/baseline-build/quillog" "$work/$kind/quillog" ;; *) cp "$build/quillog" "$work/$kind/quillog" ;; esac
  case $kind in *raw) printf 'Format=no\r\n' ;; *) printf 'Format=yes\r\n' ;; esac >"$work/$kind/QUILLOG.INI"
done

# One dump of each to check it and to learn its size and line count; its
# peak resident size is taken on the way.
peak() { awk -F': ' '/Maximum resident set size/ { print $2 }' "$1"; }
for kind in "${kinds[@]}"; do
  rm -f "$work/$kind.txt"
  /usr/bin/time -v -o "$work/$kind.time" "$work/$kind/quillog" "/logfile=sys=$log" "/outfile=$work/$kind.txt" \
    >"$work/$kind.console"
  lines=$(wc -l <"$work/$kind.txt")
  if [ "$lines" -ne "$records" ]; then
    echo "bench: the $kind dump has $lines lines, not $records" >&2
    cat "$work/$kind.console" >&2
    exit 1
  fi
  if grep -q '==>' "$work/$kind.console"; then
    echo "bench: the $kind dump reported problems:" >&2
    # head stops reading early: the pipeline's broken pipe is not a failure.
    grep '==>' "$work/$kind.console" | sort | uniq -c | head >&2 || true
  fi
done
if [ -n "$baseline" ]; then
  for kind in raw fmt; do
    if ! cmp -s "$work/$kind.txt" "$work/base$kind.txt"; then
      echo "bench: the $kind dump differs from the baseline's" >&2
      exit 1
    fi
  done
  echo "the dumps are byte for byte the baseline's"
fi
rawbytes=$(stat -c %s "$work/raw.txt")
fmtbytes=$(stat -c %s "$work/fmt.txt")
/usr/bin/time -v -o "$work/floor.time" "$build/bench/floor" "$log" "$work/floor.txt" "$rawbytes" "$records"

# The timed runs go in rounds: each round runs every command once, each dump
# next to the floor it is compared with, so a slow spell of a shared
# machine hits a dump and its floor alike. A dump's "x floor" is the median
# of its per-round ratios. The first round warms the caches and is not
# counted; before each run the output file is removed.
out=$work/out.txt
run_raw() { "$work/raw/quillog" "/logfile=sys=$log" "/outfile=$out"; }
run_fmt() { "$work/fmt/quillog" "/logfile=sys=$log" "/outfile=$out"; }
run_floorraw() { "$build/bench/floor" "$log" "$out" "$rawbytes" "$records"; }
run_floorfmt() { "$build/bench/floor" "$log" "$out" "$fmtbytes" "$records"; }
run_baseraw() { "$work/baseraw/quillog" "/logfile=sys=$log" "/outfile=$out"; }
run_basefmt() { "$work/basefmt/quillog" "/logfile=sys=$log" "/outfile=$out"; }
# Slow, so run twice at most; its time includes taking its peak size, and
# its text goes to a file, as a dump's does.
run_peer() { /usr/bin/time -v -o "$work/peer.time" "$peername" "$log" >"$out"; }
if [ -n "$baseline" ]; then timed=(raw floorraw baseraw fmt floorfmt basefmt); else timed=(raw floorraw fmt floorfmt); fi
: >"$work/times.txt"
timeone() { # name, round
  rm -f "$out"
  local t0 t1
  t0=$(date +%s%N)
  if ! "run_$1" >/dev/null 2>&1; then
    echo "bench: $1 failed" >&2
    exit 1
  fi
  t1=$(date +%s%N)
  if [ "$2" -gt 0 ]; then echo "$2 $1 $(( (t1 - t0) / 1000 ))" >>"$work/times.txt"; fi
}
echo "timing ($runs rounds, after one to warm up) ..."
for ((round = 0; round <= runs; round++)); do
  for name in "${timed[@]}"; do timeone "$name" "$round"; done
  if [ "$peer" = yes ] && [ "$round" -ge 1 ] && [ "$round" -le 2 ]; then timeone peer "$round"; fi
done

# The median of a list of numbers, one per line.
mid() { sort -g | awk '{ v[NR] = $1 } END { printf "%.6f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# The median of a command's runs, in seconds.
median() { awk -v n="$1" '$2 == n { print $3 / 1e6 }' "$work/times.txt" | mid; }
# The median over the rounds of a command's time divided by a floor's.
ratio() {
  awk -v n="$1" -v f="$2" '$2 == n { t[$1] = $3 } $2 == f { b[$1] = $3 }
    END { for (r in t) if (r in b) print t[r] / b[r] }' "$work/times.txt" | mid
}
echo
echo "machine: $(nproc) processors, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo);" \
  "load average $(cut -d' ' -f1-3 /proc/loadavg)"
describe() {
  if [ -n "$evtx" ]; then echo "$evtx chunks of samples/system.evtx"
  elif [ -n "$short" ]; then echo "short records, sources $short, seed $seed"
  else echo "$sources sources, seed $seed"; fi
}
echo "log: $records records, $(stat -c %s "$log") bytes, $(describe);" \
  "output $rawbytes bytes (Format=no), $fmtbytes bytes (Format=yes)"
echo
floorraw=$(median floorraw) floorfmt=$(median floorfmt) peermedian=
[ "$peer" = yes ] && peermedian=$(median peer)
row() { # name, median seconds, ratio to its floor or "", peak file
  awk -v name="$1" -v s="$2" -v f="$3" -v p="$peermedian" -v n="$records" -v kb="$(peak "$4")" 'BEGIN {
    printf "%-22s %9.3f %12.0f %9s %11s %9.1f\n", name, s, n / s, f == "" ? "" : sprintf("%.2f", f),
      p == "" ? "" : sprintf("%.1f", p / s), kb / 1024 }'
}
printf "%-22s %9s %12s %9s %11s %9s\n" "" "median s" "records/s" "x floor" "$peername/" "peak MB"
row "quillog Format=no" "$(median raw)" "$(ratio raw floorraw)" "$work/raw.time"
row "quillog Format=yes" "$(median fmt)" "$(ratio fmt floorfmt)" "$work/fmt.time"
if [ -n "$baseline" ]; then
  row "$baseline Format=no" "$(median baseraw)" "$(ratio baseraw floorraw)" "$work/baseraw.time"
  row "$baseline Format=yes" "$(median basefmt)" "$(ratio basefmt floorfmt)" "$work/basefmt.time"
fi
row "floor (Format=no size)" "$floorraw" "" "$work/floor.time"
row "floor (Format=yes size)" "$floorfmt" "" "$work/floor.time"
[ "$peer" = yes ] && row "$peername" "$peermedian" "" "$work/peer.time"
exit 0
