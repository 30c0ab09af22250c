// LZNT1, the compression of NTFS compressed attributes: a compression unit
// is a sequence of chunks, each standing for 4096 bytes of data.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/endian.h"

namespace vandrel {

class TNTFS_Unpack {
 public:
  TNTFS_Unpack(std::uint32_t clusterSize, std::uint32_t unitSize) : clusterSize_(clusterSize), unitSize_(unitSize) {}

  // Decompresses one unit into `out` (zero-filled first; bytes no chunk
  // produces stay zero). Damaged chunks end decoding; nothing is written
  // outside `out`. Answers the bytes produced.
  std::size_t DecompressUnit(ByteSpan source, MutableByteSpan out) const;

  std::uint32_t ClusterSize() const { return clusterSize_; }
  std::uint32_t UnitSize() const { return unitSize_; }

 private:
  std::uint32_t clusterSize_;
  std::uint32_t unitSize_;
};

// One compressed chunk body into `out` (at most 4096 bytes); the bytes
// produced, or fewer when a token points before the chunk's start.
std::size_t Lznt1DecompressChunk(ByteSpan body, MutableByteSpan out);

}  // namespace vandrel
