#include "storage/partition_info.h"

#include "storage/hard_drive.h"

namespace vandrel {

TPartitionInformation::TPartitionInformation() = default;
TPartitionInformation::~TPartitionInformation() = default;
TPartitionInformation::TPartitionInformation(TPartitionInformation&&) noexcept = default;
TPartitionInformation& TPartitionInformation::operator=(TPartitionInformation&&) noexcept = default;

TPartitionInformation TPartitionInformation::CopyDescription() const {
  TPartitionInformation copy;
  copy.Kind = Kind;
  copy.Start = Start;
  copy.Count = Count;
  copy.Type = Type;
  copy.DetectedType = DetectedType;
  copy.Label = Label;
  copy.Name = Name;
  copy.WindowsPath = WindowsPath;
  copy.Ordinal = Ordinal;
  copy.MbrEntry = MbrEntry;
  copy.GptEntry = GptEntry;
  copy.Metadata = Metadata;
  return copy;
}

const char* PartitionKindName(std::uint8_t kind) {
  static const char* const kNames[] = {"MBR Partition",  "Without Partition Table", "Floppy disk",
                                       "Virtual Volume", "Recovered Partition",     "Direct Conected Disk",
                                       "GPT Partition",  "Unallocated space",       "Dynamic Disk",
                                       "Linux raid disk"};
  return kind <= pkLinuxRaid ? kNames[kind] : "";
}

const char* PartitionKindId(std::uint8_t kind) {
  static const char* const kIds[] = {"mbr", "whole", "floppy", "virtual", "recovered",
                                     "direct", "gpt", "free", "dynamic", "linux-raid"};
  return kind <= pkLinuxRaid ? kIds[kind] : "unknown";
}

}  // namespace vandrel
