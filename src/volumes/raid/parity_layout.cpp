#include "volumes/raid/parity_layout.h"

namespace vandrel {

std::optional<TParityChunk> MapParityChunk(TRaidLayout layout, std::int32_t members, std::int64_t chunk) {
  if (members < 2 || chunk < 0) return std::nullopt;
  const std::int64_t n = members;
  const std::int64_t dataMembers = n - 1;
  TParityChunk place;
  place.Row = chunk / dataMembers;
  const std::int64_t index = chunk % dataMembers;  // the chunk's place among its row's data
  const std::int64_t rotation = place.Row % n;
  std::int64_t parity = 0;
  std::int64_t data = 0;
  switch (layout) {
    case TRaidLayout::ParityFirst:
      parity = 0;
      data = index + 1;
      break;
    case TRaidLayout::ParityLast:
      parity = n - 1;
      data = index;
      break;
    case TRaidLayout::LeftAsymmetric:
    case TRaidLayout::RightAsymmetric:
      parity = layout == TRaidLayout::LeftAsymmetric ? n - 1 - rotation : rotation;
      data = index < parity ? index : index + 1;
      break;
    case TRaidLayout::LeftSymmetric:
    case TRaidLayout::RightSymmetric:
      parity = layout == TRaidLayout::LeftSymmetric ? n - 1 - rotation : rotation;
      data = (parity + 1 + index) % n;
      break;
    case TRaidLayout::ByFamily:
    case TRaidLayout::Interleaved:
    default:
      return std::nullopt;
  }
  place.DataMember = static_cast<std::int32_t>(data);
  place.ParityMember = static_cast<std::int32_t>(parity);
  return place;
}

}  // namespace vandrel
