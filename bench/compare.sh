#!/usr/bin/env bash
# Times showfile against the system's cat, busybox's and uutils' where they are installed, and
# further cats where they are given, on a page-cached file for each kind of standard output, and
# prints a Markdown table of the medians. Run by hand, never in CI:
#   bench/compare.sh [SIZE_MIB]
# SHOWFILE=path picks another build. PEERS names a folder of further cats, each PEERS/NAME/cat
# (by default /var/tmp/peers, where it is); CATS="cmd ..." names more, each a command that takes
# the file as its argument.
set -euo pipefail

size_mib=${1:-1024}
root=$(cd "$(dirname "$0")/.." && pwd)
showfile=${SHOWFILE:-$root/build/showfile}
command -v hyperfine >/dev/null || { echo "hyperfine is missing: apt-get install hyperfine" >&2; exit 1; }
[ -x "$showfile" ] || { echo "no $showfile: build it first (see README.md)" >&2; exit 1; }
peers=(cat) names=(cat)
command -v busybox >/dev/null && peers+=("busybox cat") names+=("busybox cat")
coreutils cat --version >/dev/null 2>&1 && peers+=("coreutils cat") names+=("uutils cat")
for peer in "${PEERS:-/var/tmp/peers}"/*/cat; do
  [ -x "$peer" ] && peers+=("$peer") names+=("$(basename "$(dirname "$peer")")")
done
for peer in ${CATS:-}; do peers+=("$peer") names+=("$(basename "$peer")"); done

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
# outside the timing, so that no run pays for the one before it. The runs come in ten rounds, each
# of every command in turn, starting one further along each time, after a round that warms up, so
# that a slow spell of the machine, or the row before, falls on every command alike. A command's
# figure is the median of its rounds' medians. The last two columns set showfile against the
# system's cat and against the fastest cat of the row.
row() {
  local name=$1 runs=$2 input=$3 sink=${4:-} rounds=10 round i
  local -a mode=(--shell=none) commands=("$showfile $input $sink") turn
  [ -n "$sink" ] && mode=(--shell=bash --prepare ": >$work/out; sync")
  for peer in "${peers[@]}"; do commands+=("$peer $input $sink"); done
  : >"$work/medians"
  for ((round = 0; round <= rounds; ++round)); do
    turn=()
    for i in "${!commands[@]}"; do turn+=("${commands[(i + round) % ${#commands[@]}]}"); done
    hyperfine --style none --runs $((runs / rounds)) "${mode[@]}" --export-csv "$work/round.csv" \
      "${turn[@]}" >/dev/null 2>"$work/hyperfine.log" || { cat "$work/hyperfine.log" >&2; exit 1; }
    ((round == 0)) || awk -F, -v round="$round" -v n="${#commands[@]}" \
      'NR > 1 { print (NR - 2 + round) % n, $4 }' "$work/round.csv" >>"$work/medians"
  done
  sort -k1,1n -k2,2g "$work/medians" | awk -v name="$name" -v n="${#commands[@]}" '
    { times[$1, count[$1]++] = $2 }
    END {
      printf "| %s |", name
      for (i = 0; i < n; ++i) {
        c = count[i]
        median[i] = c % 2 ? times[i, (c - 1) / 2] : (times[i, c / 2 - 1] + times[i, c / 2]) / 2
        printf " %.2f ms |", median[i] * 1000
        if (i == 1 || (i > 1 && median[i] < best)) best = median[i]
      }
      printf " %.2f | %.2f |\n", median[0] / median[1], median[0] / best }'
}

filesystem=$(df --output=fstype "$work" | tail -n 1)
printf '| sink (%s MiB file unless said) | showfile |' "$size_mib"
printf ' %s |' "${names[@]}"
printf ' showfile/cat | showfile/best |\n|---|---|'
printf -- '---|%.0s' "${peers[@]}"
printf -- '---|---|\n'
row "/dev/null" 10 "$work/big"
row "pipe into dd of=/dev/null bs=1M" 10 "$work/big" "| dd of=/dev/null bs=1M status=none"
row "pipe input, into dd of=/dev/null bs=1M" 20 "<(cat $work/big)" "| dd of=/dev/null bs=1M status=none"
row "regular file on $filesystem, \`>\`" 20 "$work/big" ">$work/out"
row "append-mode file on $filesystem, \`>>\`" 20 "$work/big" ">>$work/out"
if [ "$(df --output=fstype /dev/shm 2>/dev/null | tail -n 1)" = tmpfs ]; then
  shm=$(mktemp -d /dev/shm/showfile-bench.XXXXXX)
  trap 'rm -rf "$work" "$shm"' EXIT
  cp "$work/big" "$shm/big"
  work=$shm row "file to file on tmpfs, \`>\`" 20 "$shm/big" ">$shm/out"
  work=$shm row "file on $filesystem to tmpfs, \`>\`" 20 "$work/big" ">$shm/out"
  rm -rf "$shm"
fi
row "3-byte file into /dev/null" 500 "$work/small"
echo
for i in "${!peers[@]}"; do  # busybox answers --help, not --version, on standard error
  version=$(${peers[i]} --version 2>/dev/null | head -n 1) || true
  [ -n "$version" ] || version=$(${peers[i]} --help 2>&1 | head -n 1) || true
  printf -- '- %s: %s\n' "${names[i]}" "$version"
done
