#!/usr/bin/env bash
# Speed of `vandrel-cli cat` on a large file: from an ext4 image against the
# kernel's loop mount (cold and warm cache) and sleuthkit's icat, and from a
# FAT32 image against mtools' mcopy and icat. Prints seconds and ratios
# (ours / theirs; below 1 means we are faster). Needs root (loop mount,
# dropping the page cache).
#
#   bench/cat_fat_ext.sh [BUILD_DIR]     SIZE_MB=512 WORK=/tmp/vandrel-bench
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
cli="$build/vandrel-cli"
size_mb=${SIZE_MB:-512}
work=${WORK:-/tmp/vandrel-bench}
export MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8
mkdir -p "$work"
ext="$work/ext4.img"
fat="$work/fat32.img"
data="$work/big.bin"
mnt="$work/mnt"
mkdir -p "$mnt"

[ -f "$data" ] && [ "$(stat -c %s "$data")" -eq $((size_mb << 20)) ] ||
  head -c $((size_mb << 20)) /dev/urandom >"$data"
if [ ! -f "$ext" ]; then
  truncate -s $((size_mb * 2 + 64))M "$ext"
  mke2fs -q -F -t ext4 "$ext"
  mount -o loop "$ext" "$mnt"
  cp "$data" "$mnt/big.bin"
  umount "$mnt"
fi
if [ ! -f "$fat" ]; then
  truncate -s $((size_mb * 2 + 64))M "$fat"
  mkfs.fat -F 32 "$fat" >/dev/null
  mcopy -i "$fat" "$data" ::/big.bin
fi

drop() { sync; echo 3 >/proc/sys/vm/drop_caches; }
# Seconds of one run of a command, output discarded.
once() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}
# Best of RUNS runs (the machine may be busy): with an empty page cache,
# or after one run that fills it.
runs=${RUNS:-3}
best() { sort -g | head -1; }
cold() { for _ in $(seq "$runs"); do drop; once "$@"; done | best; }
warm() { "$@" >/dev/null; for _ in $(seq "$runs"); do once "$@"; done | best; }
ratio() { printf '%.2f' "$(echo "$1 / $2" | bc -l)"; }
check() {
  local want got
  want=$(sha256sum <"$data" | cut -d' ' -f1)
  got=$("$@" | sha256sum | cut -d' ' -f1)
  [ "$want" = "$got" ] || { echo "wrong bytes from: $*" >&2; exit 1; }
}

ours_ext() { "$cli" --images-only --image "$ext" cat 0:0 /big.bin; }
ours_fat() { "$cli" --images-only --image "$fat" cat 0:0 /big.bin; }
ext_inode=$(fls "$ext" | awk -F'[ :\t]+' '$NF == "big.bin" {print $2}')
fat_inode=$(fls "$fat" | awk -F'[ :\t]+' '$NF == "big.bin" {print $2}')
check ours_ext
check ours_fat

ours_ext_cold=$(cold ours_ext)
ours_ext_warm=$(warm ours_ext)
mount -o ro,loop "$ext" "$mnt"
kernel_cold=$(cold cat "$mnt/big.bin")
kernel_warm=$(warm cat "$mnt/big.bin")
umount "$mnt"
icat_ext=$(cold icat "$ext" "$ext_inode")

ours_fat_cold=$(cold ours_fat)
ours_fat_warm=$(warm ours_fat)
mcopy_cold=$(cold mcopy -n -i "$fat" ::/big.bin -)
mcopy_warm=$(warm mcopy -n -i "$fat" ::/big.bin -)
icat_fat=$(cold icat "$fat" "$fat_inode")

echo "cat of a ${size_mb} MiB file (best of $runs runs, seconds; ratio = ours / theirs)"
printf 'ext4  ours cold %6.2f  kernel loop mount cold %6.2f  ratio %s\n' "$ours_ext_cold" "$kernel_cold" "$(ratio "$ours_ext_cold" "$kernel_cold")"
printf 'ext4  ours warm %6.2f  kernel loop mount warm %6.2f  ratio %s\n' "$ours_ext_warm" "$kernel_warm" "$(ratio "$ours_ext_warm" "$kernel_warm")"
printf 'ext4  ours cold %6.2f  icat cold              %6.2f  ratio %s\n' "$ours_ext_cold" "$icat_ext" "$(ratio "$ours_ext_cold" "$icat_ext")"
printf 'fat32 ours cold %6.2f  mcopy cold             %6.2f  ratio %s\n' "$ours_fat_cold" "$mcopy_cold" "$(ratio "$ours_fat_cold" "$mcopy_cold")"
printf 'fat32 ours warm %6.2f  mcopy warm             %6.2f  ratio %s\n' "$ours_fat_warm" "$mcopy_warm" "$(ratio "$ours_fat_warm" "$mcopy_warm")"
printf 'fat32 ours cold %6.2f  icat cold              %6.2f  ratio %s\n' "$ours_fat_cold" "$icat_fat" "$(ratio "$ours_fat_cold" "$icat_fat")"
