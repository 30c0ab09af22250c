#!/usr/bin/env bash
# Throughput of `vandrel-cli cat` on NTFS against `cat IMAGE` (warm page
# cache), ntfscat (ntfs-3g) and icat (sleuthkit), for a large contiguous
# file and an LZNT1-compressed one. Needs root (ntfs-3g fills the image).
#   bench/ntfs_cat.sh [BUILD_DIR]   (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cli=${1:-$root/build}/vandrel-cli
work=$(mktemp -d /tmp/vandrel-bench.XXXXXX)
mnt=$work/mnt
img=$work/ntfs.img
trap 'fusermount3 -u "$mnt" 2>/dev/null || true; rm -rf "$work"' EXIT
big_mb=${BIG_MB:-512}

# Written out, not sparse: `cat IMAGE` must read real pages like we do.
head -c $(((big_mb + 256) << 20)) /dev/zero > "$img"
mkntfs -q -F -f -c 4096 -L BENCH "$img" >/dev/null 2>&1
mkdir "$mnt"
ntfs-3g -o compression "$img" "$mnt"
head -c $((big_mb << 20)) /dev/urandom > "$mnt/big.bin"
mkdir "$mnt/packed"
python3 -c "import os, sys; os.setxattr(sys.argv[1], 'system.ntfs_attrib_be', bytes.fromhex('00000800'))" "$mnt/packed"
python3 - "$mnt/packed/text.txt" <<'PY'
import random, sys
rng = random.Random(1)
words = ["volume", "cluster", "record", "index", "stream", "sector", "runlist", "attribute"]
with open(sys.argv[1], "w") as f:
    for _ in range(1_400_000):
        f.write(" ".join(rng.choice(words) for _ in range(8)) + "\n")
PY
fusermount3 -u "$mnt"

# Best of three wall-clock seconds of a command whose output is discarded.
best() {
  local best_s=""
  for _ in 1 2 3; do
    local t0 t1 s
    t0=$(date +%s.%N)
    "$@" > /dev/null
    t1=$(date +%s.%N)
    s=$(echo "$t1 - $t0" | bc -l)
    if [ -z "$best_s" ] || [ "$(echo "$s < $best_s" | bc -l)" = 1 ]; then best_s=$s; fi
  done
  echo "$best_s"
}
mbps() { echo "scale=1; $1 / 1048576 / $2" | bc -l; }

cat "$img" > /dev/null  # warm the page cache
ours() { "$cli" --images-only --image "$img" cat 0:0 "$1"; }
inode() { ifind -f ntfs -n "$1" "$img"; }

for path in /big.bin /packed/text.txt; do
  size=$(stat -c %s "$img")
  fsize=$(ntfscat "$img" "$path" | wc -c)
  t_img=$(best cat "$img")
  t_ours=$(best ours "$path")
  t_ntfscat=$(best ntfscat "$img" "$path")
  ino=$(inode "$path")
  t_icat=$(best icat -f ntfs "$img" "$ino")
  # The digests must agree before any figure counts.
  a=$(ours "$path" | sha256sum | cut -c1-64)
  b=$(ntfscat "$img" "$path" | sha256sum | cut -c1-64)
  [ "$a" = "$b" ] || { echo "content differs for $path"; exit 1; }
  r_img=$(echo "scale=2; ($fsize / $t_ours) / ($size / $t_img)" | bc -l)
  r_ntfscat=$(echo "scale=2; $t_ntfscat / $t_ours" | bc -l)
  r_icat=$(echo "scale=2; $t_icat / $t_ours" | bc -l)
  echo "$path ($((fsize >> 20)) MiB):"
  echo "  vandrel-cli cat  $(mbps "$fsize" "$t_ours") MiB/s"
  echo "  cat IMAGE        $(mbps "$size" "$t_img") MiB/s   ratio ours/image  $r_img"
  echo "  ntfscat          $(mbps "$fsize" "$t_ntfscat") MiB/s   ratio ours/ntfscat $r_ntfscat"
  echo "  icat             $(mbps "$fsize" "$t_icat") MiB/s   ratio ours/icat    $r_icat"
done
