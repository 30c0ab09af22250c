#!/usr/bin/env bash
# Listing speed of a large folder through a vandrel-cli mount against the
# kernel's loop mount of the same ext4 image: `ls -l` of COUNT entries,
# first (cold: fresh mount, page cache dropped) and again (the kernel's
# caches), a `stat` of one listed name, and `cat` of every file of the
# folder's last fifth, one open each, on a fresh mount. Prints the median seconds of
# RUNS runs; a listing that takes longer than LIMIT seconds is cut off and
# shown as such.
#
#   bench/mount_listing.sh [BUILD_DIR] [WORK_DIR]
#   COUNT=100000 RUNS=3 LIMIT=300 (the defaults)
set -euo pipefail

build=${1:-build}
work=${2:-/tmp/vandrel-mount-listing}
cli="$(cd "$build" && pwd)/vandrel-cli"
count=${COUNT:-100000}
runs=${RUNS:-3}
limit=${LIMIT:-300}

[ "$(id -u)" -eq 0 ] || { echo "needs root (loop mount)" >&2; exit 1; }
[ -x "$cli" ] || { echo "no $cli: build first" >&2; exit 1; }
mkdir -p "$work"
cd "$work"
cleanup() {
  "$cli" umount "$work/ours" > /dev/null 2>&1 || true
  for m in ours theirs fill; do
    if mountpoint -q "$work/$m" 2>/dev/null; then umount "$work/$m" 2>/dev/null || umount -l "$work/$m"; fi
  done
  return 0
}
trap cleanup EXIT

image=big-dir-$count.img
if [ ! -f "$image" ]; then
  # Filled through the kernel: mke2fs -d adds names to a folder one linear
  # scan at a time and takes hours for 100 000 of them.
  rm -f "$image.tmp"
  mke2fs -q -t ext4 -N $((count + 1000)) "$image.tmp" $((64 + count / 400))M
  mkdir -p fill
  mount -o loop "$image.tmp" fill
  mkdir fill/many
  (cd fill/many && seq -f "entry %06g with a longer name" 1 "$count" | xargs -d '\n' touch)
  umount fill
  rmdir fill
  mv "$image.tmp" "$image"
fi
name=$(printf "entry %06d with a longer name" $(((count + 1) / 2)))

# Seconds a command takes, or "over LIMIT" when it is cut off.
seconds() {
  local s e
  s=$(date +%s.%N)
  if ! timeout "$limit" "$@" > /dev/null; then echo "over$limit"; return; fi
  e=$(date +%s.%N)
  awk -v s="$s" -v e="$e" 'BEGIN { printf "%.3f", e - s }'
}

median() { tr ' ' '\n' | grep . | sort -g | awk '{ r[NR] = $1 } END { print r[int((NR + 1) / 2)] }'; }

mkdir -p ours theirs
declare -A result
for side in ours kernel; do
  first="" again="" one="" opened=""
  for _ in $(seq "$runs"); do
    if [ $side = ours ]; then
      "$cli" --images-only --image "$image" mount 0:0 "$work/ours" --background > /dev/null 2>&1
      folder=ours/FileSystem/many
    else
      mount -o ro,loop "$image" theirs
      folder=theirs/many
    fi
    sync
    echo 3 > /proc/sys/vm/drop_caches
    first="$first $(seconds ls -l "$folder")"
    again="$again $(seconds ls -l "$folder")"
    one="$one $(seconds stat "$folder/$name")"
    if [ $side = ours ]; then "$cli" umount "$work/ours" > /dev/null; else umount theirs; fi
    # Opening one file after another: each open looks its name up again.
    if [ $side = ours ]; then
      "$cli" --images-only --image "$image" mount 0:0 "$work/ours" --background > /dev/null 2>&1
    else
      mount -o ro,loop "$image" theirs
    fi
    opened="$opened $(seconds sh -c "cd '$folder' && seq -f 'entry %06g with a longer name' $((count - count / 5 + 1)) $count | xargs -d '\\n' cat")"
    if [ $side = ours ]; then "$cli" umount "$work/ours" > /dev/null; else umount theirs; fi
  done
  result[$side,first]=$(echo "$first" | median)
  result[$side,again]=$(echo "$again" | median)
  result[$side,one]=$(echo "$one" | median)
  result[$side,opened]=$(echo "$opened" | median)
done
printf "%-24s %10s %10s   (%d entries, median of %d)\n" "" "ours s" "kernel s" "$count" "$runs"
printf "%-24s %10s %10s\n" "ls -l (first)" "${result[ours,first]}" "${result[kernel,first]}"
printf "%-24s %10s %10s\n" "ls -l (again)" "${result[ours,again]}" "${result[kernel,again]}"
printf "%-24s %10s %10s\n" "stat one name (listed)" "${result[ours,one]}" "${result[kernel,one]}"
printf "%-24s %10s %10s\n" "cat $((count / 5)) files" "${result[ours,opened]}" "${result[kernel,opened]}"
