// The well-known GPT partition-type GUIDs with readable texts.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "common/endian.h"

namespace vandrel {

// A GUID as its 16 bytes on disk (first three fields little-endian).
using TGuid = std::array<std::uint8_t, 16>;

struct TGPT_Part_Def {
  std::uint8_t Type;  // partition-type byte of the file system, 0 when none
  const char* Os;
  const char* TypeText;
  const char* Extra;  // always empty
  TGuid Guid;
};

// The 48 rows in table order. Two GUIDs occur twice; callers that want
// the later row's texts walk the table to its end.
std::span<const TGPT_Part_Def> GptPartitionTypes();

// "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7" <-> on-disk bytes. ParseGuid
// answers all zeros for text that is not a GUID.
TGuid ParseGuid(std::string_view text);
std::string GuidText(const TGuid& guid);
TGuid LoadGuid(ByteSpan bytes, std::uint64_t offset);
bool IsZeroGuid(const TGuid& guid);

extern const TGuid kGuidMicrosoftReserved;
extern const TGuid kGuidBasicData;

}  // namespace vandrel
