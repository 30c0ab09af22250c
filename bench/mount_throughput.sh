#!/usr/bin/env bash
# Throughput of `cat` through a vandrel-cli mount against the system's own
# readers of the same images: ntfs-3g (NTFS, FUSE), the kernel's loop mount
# (ext4) and fusefat (FAT32, FUSE; this kernel has no vfat). One reader of a
# large file, then four readers of four files at once; cold page cache for
# every run (needs root). Prints MB/s and our/their ratios.
#
#   bench/mount_throughput.sh [BUILD_DIR] [WORK_DIR]
set -euo pipefail

build=${1:-build}
work=${2:-/tmp/vandrel-mount-bench}
cli="$(cd "$build" && pwd)/vandrel-cli"
big_mb=${BIG_MB:-512}
quarter_mb=${QUARTER_MB:-128}
runs=${RUNS:-3}

[ "$(id -u)" -eq 0 ] || { echo "needs root (loop mounts, dropping the page cache)" >&2; exit 1; }
[ -x "$cli" ] || { echo "no $cli: build first" >&2; exit 1; }
mkdir -p "$work"
cd "$work"

cleanup() {
  for m in ours theirs; do
    if mountpoint -q "$work/$m" 2>/dev/null; then umount "$work/$m" 2>/dev/null || umount -l "$work/$m" || true; fi
  done
}
trap cleanup EXIT

make_payload() {
  [ -f payload/big.bin ] && return
  mkdir -p payload
  head -c $((big_mb << 20)) /dev/urandom > payload/big.bin
  for i in 0 1 2 3; do head -c $((quarter_mb << 20)) /dev/urandom > payload/q$i.bin; done
}

image_mb=$((big_mb + 4 * quarter_mb + 256))

make_images() {
  if [ ! -f ext4.img ]; then
    mke2fs -q -t ext4 -d payload ext4.img "${image_mb}M"
  fi
  if [ ! -f ntfs.img ]; then
    truncate -s "${image_mb}M" ntfs.img.tmp
    mkntfs -q -F -Q ntfs.img.tmp
    mkdir -p theirs
    ntfs-3g ntfs.img.tmp theirs
    cp payload/* theirs/
    umount theirs
    mv ntfs.img.tmp ntfs.img
  fi
  if [ ! -f fat32.img ]; then
    rm -f fat32.img.tmp
    mkfs.fat -F 32 -C fat32.img.tmp $((image_mb * 1024)) > /dev/null
    mcopy -i fat32.img.tmp payload/* ::/
    mv fat32.img.tmp fat32.img
  fi
}

drop_caches() {
  sync
  echo 3 > /proc/sys/vm/drop_caches
}

now() { date +%s.%N; }

# Best of $runs: MB/s of reading the named files in parallel, cold cache.
measure() {
  local folder=$1; shift
  local best=0 total_mb=0 f
  for f in "$@"; do total_mb=$((total_mb + $(stat -c %s "$folder/$f") / 1048576)); done
  for _ in $(seq "$runs"); do
    drop_caches
    local start end
    start=$(now)
    for f in "$@"; do cat "$folder/$f" > /dev/null & done
    wait
    end=$(now)
    best=$(awk -v b="$best" -v mb="$total_mb" -v s="$start" -v e="$end" 'BEGIN { r = mb / (e - s); print (r > b ? r : b) }')
  done
  echo "$best"
}

mount_ours() {
  local image=$1
  mkdir -p ours
  local addr
  for addr in 0:0 0; do
    if "$cli" --images-only --image "$image" mount "$addr" "$work/ours" --background > /dev/null 2>&1; then
      if [ -d ours/FileSystem ]; then return 0; fi
      "$cli" umount "$work/ours" > /dev/null 2>&1 || true
      sleep 0.2
    fi
  done
  return 1
}

unmount_ours() {
  "$cli" umount "$work/ours" > /dev/null 2>&1 || true
  sleep 0.3
}

mount_theirs() {
  local kind=$1 image=$2
  mkdir -p theirs
  case $kind in
    ntfs) ntfs-3g -o ro "$image" theirs ;;
    ext4) mount -o ro,loop "$image" theirs ;;
    fat32) command -v fusefat > /dev/null || return 1; fusefat -o ro "$image" theirs ;;
  esac
}

unmount_theirs() { umount theirs 2>/dev/null || umount -l theirs; }

make_payload
make_images

printf "%-6s %-8s %12s %12s %8s\n" "image" "readers" "ours MB/s" "theirs MB/s" "ratio"
for kind in ntfs ext4 fat32; do
  case $kind in ntfs) theirs_name="ntfs-3g" ;; ext4) theirs_name="kernel" ;; fat32) theirs_name="fusefat" ;; esac
  ours1=n/a ours4=n/a theirs1=n/a theirs4=n/a
  if mount_ours "$kind.img"; then
    ours1=$(measure ours/FileSystem big.bin)
    ours4=$(measure ours/FileSystem q0.bin q1.bin q2.bin q3.bin)
    unmount_ours
  fi
  if mount_theirs "$kind" "$kind.img"; then
    theirs1=$(measure theirs big.bin)
    theirs4=$(measure theirs q0.bin q1.bin q2.bin q3.bin)
    unmount_theirs
  fi
  for readers in 1 4; do
    o=$([ $readers = 1 ] && echo "$ours1" || echo "$ours4")
    t=$([ $readers = 1 ] && echo "$theirs1" || echo "$theirs4")
    ratio=$(awk -v o="$o" -v t="$t" 'BEGIN { if (o == "n/a" || t == "n/a" || t == 0) print "n/a"; else printf "%.2f", o / t }')
    printf "%-6s %-8s %12s %12s %8s  (vs %s)\n" "$kind" "$readers" "$o" "$t" "$ratio" "$theirs_name"
  done
done
