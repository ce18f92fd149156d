#!/usr/bin/env bash
# Times showfile against the system's cat on a page-cached file, for each kind of standard
# output, and prints a Markdown table of the medians. Run by hand, never in CI:
#   bench/compare.sh [SIZE_MIB]        (SHOWFILE=path picks another build)
set -euo pipefail

size_mib=${1:-1024}
root=$(cd "$(dirname "$0")/.." && pwd)
showfile=${SHOWFILE:-$root/build/showfile}
command -v hyperfine >/dev/null || { echo "hyperfine is missing: apt-get install hyperfine" >&2; exit 1; }
[ -x "$showfile" ] || { echo "no $showfile: build it first (see README.md)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c "${size_mib}M" /dev/urandom >"$work/big"
printf 'ab\n' >"$work/small"
# Into the page cache as a file read from disk would be: written back, dropped, read again.
sync
dd if="$work/big" iflag=nocache count=0 status=none
cat "$work/big" >/dev/null

# row NAME RUNS INPUT [SINK [PREPARE]]: without SINK, hyperfine itself sends standard output to
# /dev/null and starts the programs without a shell, which keeps start-up times clean; with it,
# bash runs them, for its process substitution. The file sinks sync before each run, so that no
# run pays for the write-back of the one before it.
row() {
  local name=$1 runs=$2 input=$3 sink=${4:-} prepare=${5:-true}
  local -a mode=(--shell=none)
  [ -n "$sink" ] && mode=(--shell=bash --prepare "$prepare")
  hyperfine --style none --warmup 1 --runs "$runs" "${mode[@]}" --export-csv "$work/times.csv" \
    "$showfile $input $sink" "cat $input $sink" >/dev/null
  awk -F, -v name="$name" 'NR == 2 { s = $4 } NR == 3 { c = $4 }
    END { printf "| %s | %.2f ms | %.2f ms | %.2f |\n", name, s * 1000, c * 1000, s / c }' \
    "$work/times.csv"
}

echo "| sink (${size_mib} MiB file unless said) | showfile median | cat median | showfile/cat |"
echo "|---|---|---|---|"
row "/dev/null" 10 "$work/big"
row "pipe into dd of=/dev/null bs=1M" 10 "$work/big" "| dd of=/dev/null bs=1M status=none"
row "pipe input, into dd of=/dev/null bs=1M" 10 "<(cat $work/big)" "| dd of=/dev/null bs=1M status=none"
row "regular file, truncated each run" 10 "$work/big" ">$work/out" "sync"
row "append-mode file, emptied each run" 10 "$work/big" ">>$work/out" ": >$work/out; sync"
row "3-byte file into /dev/null" 500 "$work/small"
