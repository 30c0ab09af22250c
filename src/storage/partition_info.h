// One entry of a device's partition list.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace vandrel {

class TPartition;

// Origin of an entry; the texts are KindName's.
enum TPartitionKind : std::uint8_t {
  pkMbr = 0, pkWithoutTable = 1, pkFloppy = 2, pkVirtual = 3, pkRecovered = 4,
  pkDirectDisk = 5, pkGpt = 6, pkUnallocated = 7, pkDynamicDisk = 8, pkLinuxRaid = 9,
};

const char* PartitionKindName(std::uint8_t kind);
const char* PartitionKindId(std::uint8_t kind);  // "mbr", "gpt", "free", ... for scripts

struct TPartitionInformation {
  TPartitionInformation();
  ~TPartitionInformation();
  TPartitionInformation(TPartitionInformation&&) noexcept;
  TPartitionInformation& operator=(TPartitionInformation&&) noexcept;
  // Copies the description only; the partition object stays with its owner.
  TPartitionInformation CopyDescription() const;

  std::uint8_t Kind = pkMbr;
  std::int64_t Start = 0;
  std::int64_t Count = 0;
  std::uint8_t Type = 0;
  std::uint8_t DetectedType = 0;
  std::string Label;
  std::string Name;
  std::string WindowsPath;
  std::int32_t Ordinal = 0;
  std::unique_ptr<TPartition> Partition;
  std::array<std::uint8_t, 16> MbrEntry{};
  std::array<std::uint8_t, 128> GptEntry{};
  bool Metadata = false;
};

}  // namespace vandrel
