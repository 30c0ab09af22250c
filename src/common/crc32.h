// CRC-32 (IEEE 802.3, reflected, as GPT and zlib use it).
#pragma once

#include <cstdint>

#include "common/endian.h"

namespace vandrel {

std::uint32_t Crc32(ByteSpan bytes, std::uint32_t crc = 0);

}  // namespace vandrel
