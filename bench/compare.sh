#!/usr/bin/env bash
# Times showfile against the system's cat, and busybox's and uutils' where they are installed, on
# a page-cached file for each kind of standard output, and prints a Markdown table of the medians.
# Run by hand, never in CI:
#   bench/compare.sh [SIZE_MIB]        (SHOWFILE=path picks another build)
set -euo pipefail

size_mib=${1:-1024}
root=$(cd "$(dirname "$0")/.." && pwd)
showfile=${SHOWFILE:-$root/build/showfile}
command -v hyperfine >/dev/null || { echo "hyperfine is missing: apt-get install hyperfine" >&2; exit 1; }
[ -x "$showfile" ] || { echo "no $showfile: build it first (see README.md)" >&2; exit 1; }
peers=(cat) names=(cat)
command -v busybox >/dev/null && peers+=("busybox cat") names+=("busybox cat")
coreutils cat --version >/dev/null 2>&1 && peers+=("coreutils cat") names+=("uutils cat")

# Beside the repository, so that the file rows write to the file system it is on.
work=$(mktemp -d "$root/build-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
head -c "${size_mib}M" /dev/urandom >"$work/big"
printf 'ab\n' >"$work/small"
# Into the page cache as a file read from disk would be: written back, dropped, read again.
sync
dd if="$work/big" iflag=nocache count=0 status=none
cat "$work/big" >/dev/null

# row NAME RUNS INPUT [SINK]: without SINK, hyperfine itself sends standard output to /dev/null
# and starts the programs without a shell, which keeps start-up times clean; with it, bash runs
# them, for its process substitution. Before each run a file sink is emptied and the disk synced,
# outside the timing, so that no run pays for the one before it.
row() {
  local name=$1 runs=$2 input=$3 sink=${4:-}
  local -a mode=(--shell=none) commands=("$showfile $input $sink")
  [ -n "$sink" ] && mode=(--shell=bash --prepare ": >$work/out; sync")
  for peer in "${peers[@]}"; do commands+=("$peer $input $sink"); done
  hyperfine --style none --warmup 1 --runs "$runs" "${mode[@]}" --export-csv "$work/times.csv" \
    "${commands[@]}" >/dev/null
  awk -F, -v name="$name" 'NR > 1 { median[NR - 1] = $4 } END {
    printf "| %s |", name
    for (i = 1; i < NR; ++i) printf " %.2f ms |", median[i] * 1000
    printf " %.2f |\n", median[1] / median[2] }' "$work/times.csv"
}

filesystem=$(df --output=fstype "$work" | tail -n 1)
printf '| sink (%s MiB file unless said) | showfile |' "$size_mib"
printf ' %s |' "${names[@]}"
printf ' showfile/cat |\n|---|---|'
printf -- '---|%.0s' "${peers[@]}"
printf -- '---|\n'
row "/dev/null" 10 "$work/big"
row "pipe into dd of=/dev/null bs=1M" 10 "$work/big" "| dd of=/dev/null bs=1M status=none"
row "pipe input, into dd of=/dev/null bs=1M" 20 "<(cat $work/big)" "| dd of=/dev/null bs=1M status=none"
row "regular file on $filesystem, \`>\`" 10 "$work/big" ">$work/out"
row "append-mode file on $filesystem, \`>>\`" 10 "$work/big" ">>$work/out"
row "3-byte file into /dev/null" 500 "$work/small"
