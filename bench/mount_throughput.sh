#!/usr/bin/env bash
# Throughput of `cat` through a vandrel-cli mount against the system's own
# readers of the same images: ntfs-3g (NTFS, FUSE), the kernel's loop mount
# (ext4) and fusefat (FAT32, FUSE; this kernel has no vfat). One reader of a
# large file, then four readers of four files at once; cold page cache for
# every run (needs root). Prints the median MB/s of RUNS runs and the
# our/their ratios.
#
#   bench/mount_throughput.sh [BUILD_DIR] [WORK_DIR]
#   BIG_MB=512 QUARTER_MB=128 RUNS=5 (the defaults) set the sizes and runs;
#   KINDS="ntfs ext4 fat32" picks the images.
set -euo pipefail

build=${1:-build}
work=${2:-/tmp/vandrel-mount-bench}
cli="$(cd "$build" && pwd)/vandrel-cli"
big_mb=${BIG_MB:-512}
quarter_mb=${QUARTER_MB:-128}
runs=${RUNS:-5}
kinds=${KINDS:-ntfs ext4 fat32}

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

# MB/s of one cold read of the named files, all at once.
rate() {
  local folder=$1; shift
  local total_mb=0 f start end
  for f in "$@"; do total_mb=$((total_mb + $(stat -c %s "$folder/$f") / 1048576)); done
  drop_caches
  start=$(now)
  for f in "$@"; do cat "$folder/$f" > /dev/null & done
  wait
  end=$(now)
  awk -v mb="$total_mb" -v s="$start" -v e="$end" 'BEGIN { printf "%.1f", mb / (e - s) }'
}

# The median of the numbers given ("n/a" for none).
median() {
  printf '%s\n' "$@" | grep -v '^$' | sort -g |
    awk '{ r[NR] = $1 } END { if (NR == 0) print "n/a"; else print (NR % 2 ? r[(NR + 1) / 2] : (r[NR / 2] + r[NR / 2 + 1]) / 2) }'
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

# Images of other sizes are made anew.
if [ "$(cat sizes 2>/dev/null)" != "$big_mb $quarter_mb" ]; then
  rm -rf payload ext4.img ntfs.img fat32.img
  echo "$big_mb $quarter_mb" > sizes
fi
make_payload
make_images

# Both sides are mounted at once and read in turn, run after run: on a
# shared machine the load then weighs on both alike. The figures are the
# medians of the runs; the ratio is the median of the runs' own ratios.
printf "%-6s %-8s %12s %12s %8s\n" "image" "readers" "ours MB/s" "theirs MB/s" "ratio"
for kind in $kinds; do
  case $kind in ntfs) theirs_name="ntfs-3g" ;; ext4) theirs_name="kernel" ;; fat32) theirs_name="fusefat" ;; esac
  have_ours=0 have_theirs=0
  mount_ours "$kind.img" && have_ours=1
  mount_theirs "$kind" "$kind.img" && have_theirs=1
  for readers in 1 4; do
    if [ $readers = 1 ]; then files=(big.bin); else files=(q0.bin q1.bin q2.bin q3.bin); fi
    o=() t=() r=()
    for _ in $(seq "$runs"); do
      a="" b=""
      [ $have_ours = 1 ] && { a=$(rate ours/FileSystem "${files[@]}"); o+=("$a"); }
      [ $have_theirs = 1 ] && { b=$(rate theirs "${files[@]}"); t+=("$b"); }
      [ -n "$a" ] && [ -n "$b" ] && r+=("$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.3f", a / b }')")
    done
    ratio=$(median "${r[@]}")
    [ "$ratio" = n/a ] || ratio=$(printf "%.2f" "$ratio")
    printf "%-6s %-8s %12s %12s %8s  (vs %s)\n" "$kind" "$readers" "$(median "${o[@]}")" "$(median "${t[@]}")" "$ratio" "$theirs_name"
  done
  [ $have_ours = 1 ] && unmount_ours
  [ $have_theirs = 1 ] && unmount_theirs
done
