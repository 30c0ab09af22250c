#!/usr/bin/env bash
# Listing speed of a large folder through a vandrel-cli mount against the
# kernel's loop mount of the same ext4 image: `ls -l` of 100 000 entries,
# first (cold) and again (the kernel's caches), and a `stat` of one name.
#
#   bench/mount_listing.sh [BUILD_DIR] [WORK_DIR]
set -euo pipefail

build=${1:-build}
work=${2:-/tmp/vandrel-mount-listing}
cli="$(cd "$build" && pwd)/vandrel-cli"
count=${COUNT:-100000}

[ "$(id -u)" -eq 0 ] || { echo "needs root (loop mount)" >&2; exit 1; }
mkdir -p "$work"
cd "$work"
cleanup() {
  for m in ours theirs; do
    if mountpoint -q "$work/$m" 2>/dev/null; then umount "$work/$m" 2>/dev/null || umount -l "$work/$m"; fi
  done
  return 0
}
trap cleanup EXIT

if [ ! -f big-dir.img ]; then
  rm -rf tree && mkdir -p tree/many
  (cd tree/many && seq -f "entry %06g with a longer name" 1 "$count" | xargs -d '\n' touch)
  mke2fs -q -t ext4 -N $((count + 1000)) -d tree big-dir.img.tmp 256M
  mv big-dir.img.tmp big-dir.img
  rm -rf tree
fi

seconds() {
  local s e
  s=$(date +%s.%N)
  "$@" > /dev/null
  e=$(date +%s.%N)
  awk -v s="$s" -v e="$e" 'BEGIN { printf "%.3f", e - s }'
}

mkdir -p ours theirs
"$cli" --images-only --image big-dir.img mount 0:0 "$work/ours" --background > /dev/null 2>&1
mount -o ro,loop big-dir.img theirs
sync
echo 3 > /proc/sys/vm/drop_caches
printf "%-24s %10s %10s\n" "" "ours s" "kernel s"
printf "%-24s %10s %10s\n" "ls -l (first)" "$(seconds ls -l ours/FileSystem/many)" "$(seconds ls -l theirs/many)"
printf "%-24s %10s %10s\n" "ls -l (again)" "$(seconds ls -l ours/FileSystem/many)" "$(seconds ls -l theirs/many)"
name="entry 054321 with a longer name"
printf "%-24s %10s %10s\n" "stat one name (listed)" "$(seconds stat "ours/FileSystem/many/$name")" "$(seconds stat "theirs/many/$name")"
"$cli" umount "$work/ours" > /dev/null
