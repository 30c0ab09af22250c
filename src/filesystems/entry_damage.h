// The attribute bit readers set on an entry whose size or data map they
// found damaged: its data is read as what the map covers.
#pragma once

#include <cstdint>

namespace vandrel {

inline constexpr std::uint32_t kAttrDamaged = 1u << 27;

}  // namespace vandrel
