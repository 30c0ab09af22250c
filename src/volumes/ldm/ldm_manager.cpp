#include "volumes/ldm/ldm_manager.h"

#include <algorithm>
#include <array>

#include "common/func.h"
#include "common/log.h"
#include "storage/hard_drive.h"
#include "storage/hdd_manager.h"

namespace vandrel {
namespace {

// The LDM metadata partition type as a GPT entry stores it (the first three
// GUID fields little-endian).
constexpr std::array<std::uint8_t, 16> kLdmMetadataType = {0xAA, 0xC8, 0x08, 0x58, 0x8F, 0x7E, 0xE0, 0x42,
                                                           0x85, 0xD2, 0xE1, 0xE9, 0x04, 0x34, 0xCF, 0xB3};

long long Ll(std::int64_t value) { return static_cast<long long>(value); }

bool IsPrivHead(const std::vector<std::uint8_t>& sector) { return BytesEqual(sector, 0, "PRIVHEAD"); }

// First sector of the LDM metadata partition of a GPT device, or -1. The
// walk ends at the first entry that is neither a GPT partition nor free space.
std::int64_t GptLdmArea(TStorage* device) {
  auto* partitioned = dynamic_cast<TStorageWithPartitions*>(device);
  if (partitioned == nullptr) return -1;
  for (const TPartitionInformation& entry : partitioned->Partitions) {
    if (entry.Kind == pkUnallocated) continue;
    if (entry.Kind != pkGpt) break;
    if (std::equal(kLdmMetadataType.begin(), kLdmMetadataType.end(), entry.GptEntry.begin())) return entry.Start;
  }
  return -1;
}

}  // namespace

TLdmManager::TLdmManager(THddManager* disks, TRaidManager* raid) : TRaidManager(disks), hdd_(disks), raid_(raid) {
  Name = "LDM Manager";
}

TLdmManager::~TLdmManager() {
  ldmCandidates_.clear();
  ClearDevices();
}

bool TLdmManager::MatchLdmDisk(TStorage* device, const std::string& diskId, const std::string& groupName,
                               std::uint64_t logicalDiskStart) {
  try {
    return vandrel::MatchLdmDisk(ldmCandidates_, device, diskId, groupName, logicalDiskStart);
  } catch (...) {
    return false;
  }
}

bool TLdmManager::ParseLdmArea(TStorage* device, ByteSpan buffer, std::int64_t firstSector) {
  const auto sectorSize = static_cast<std::uint32_t>(device->SectorSize);
  if (sectorSize == 0 || buffer.size() < sectorSize) return false;
  const std::string name = device->GetName(false);
  TPrivHead head;
  ParsePrivHead(buffer.last(sectorSize), head);
  // A disk of a group whose database was read already only attaches itself.
  if (MatchLdmDisk(device, head.DiskId, head.DiskGroupName, head.LogicalDiskStart)) return true;
  LdmVblkArea area;
  switch (LocateVblkArea(buffer, firstSector, sectorSize, head, area)) {
    case LdmAreaStatus::kOk: break;
    case LdmAreaStatus::kTocOutside:
      LogText("uLdmManager.Detect: TocBlock не попадает в буфер, Storage: " + name);
      return false;
    case LdmAreaStatus::kTocMagic:
      LogText("uLdmManager.Detect: TocBlock<>MAGIC, Storage: " + name);
      return false;
    case LdmAreaStatus::kVmdbOutside:
      LogText("uLdmManager.Detect: VMDB не попадает в буфер, Storage: " + name);
      return false;
    case LdmAreaStatus::kVmdbMagic:
      LogText("uLdmManager.Detect: VMDB<>MAGIC, Storage: " + name);
      return false;
    case LdmAreaStatus::kVblkOutside:
      LogText("uLdmManager.Detect: начало VBLK не попадает в буфер, Storage: " + name);
      return false;
  }
  TLdmTree tree;
  tree.BuildLdmTree(buffer.subspan(area.Offset), area.Length);
  tree.BuildLdmCandidates(ldmCandidates_);
  MatchLdmDisk(device, head.DiskId, head.DiskGroupName, head.LogicalDiskStart);
  return true;
}

bool TLdmManager::DetectLdm(TStorage* device) {
  if (device == nullptr || device->SectorSize <= 0) return false;
  const std::int64_t n = kLdmAreaBytes / static_cast<std::uint32_t>(device->SectorSize);
  if (n == 0 || device->SectorCount < n) return false;
  const std::string name = device->GetName(false);
  const std::int64_t size = device->SectorCount;
  bool parsed = false;
  bool opened = false;
  try {
    if (!device->Open(true, false, false)) {
      LogText(Sprintf("uLdmManager.Detect: Dont open Storage: %s, size=%lld", name.c_str(), Ll(size)));
      return false;
    }
    opened = true;
    std::vector<std::uint8_t> sector(static_cast<std::size_t>(device->SectorSize));
    std::int64_t mbrArea = -1;
    std::int64_t gptArea = -1;
    if (!device->ReadSectors(sector.data(), 1, size - 1)) {
      LogText(Sprintf("uLdmManager.Detect: Dont read last sector from Storage: %s, offset=%lld, size=%lld",
                      name.c_str(), Ll(size - n), Ll(n)));
    } else {
      if (IsPrivHead(sector)) mbrArea = size - n;
      gptArea = GptLdmArea(device);
      if (gptArea >= 0) {
        if (!device->ReadSectors(sector.data(), 1, gptArea + n - 1)) {
          LogText(Sprintf("uLdmManager.Detect: Dont read last sector from Storage: %s, offset=%lld, size=%lld",
                          name.c_str(), Ll(gptArea), Ll(n)));
          gptArea = -1;
          mbrArea = -1;
        } else if (!IsPrivHead(sector)) {
          gptArea = -1;
        }
      }
    }
    if (mbrArea >= 0 || gptArea >= 0) {
      std::vector<std::uint8_t> buffer(static_cast<std::size_t>(n) * static_cast<std::size_t>(device->SectorSize));
      bool go = true;
      if (mbrArea >= 0) {
        if (!device->ReadSectors(buffer.data(), static_cast<std::int32_t>(n), mbrArea)) {
          LogText(Sprintf("uLdmManager.Detect: Dont read last 1Mb from Storage: %s, offset=%lld, size=%lld",
                          name.c_str(), Ll(mbrArea), Ll(n)));
          go = false;
        } else {
          parsed = ParseLdmArea(device, buffer, mbrArea) || parsed;
        }
      }
      if (go && gptArea >= 0) {
        if (!device->ReadSectors(buffer.data(), static_cast<std::int32_t>(n), gptArea)) {
          LogText(Sprintf("uLdmManager.Detect: Dont read 1Mb from Storage: %s, offset=%lld, size=%lld",
                          name.c_str(), Ll(gptArea), Ll(n)));
        } else {
          parsed = ParseLdmArea(device, buffer, gptArea) || parsed;
        }
      }
    }
  } catch (...) {
    // A damaged disk must not end the scan of the others.
  }
  if (opened) device->Close(false);
  return parsed;
}

bool TLdmManager::Enumerate() {
  ldmCandidates_.clear();
  if (hdd_ != nullptr)
    for (std::int32_t d = 0; d < hdd_->DeviceCount(); ++d) DetectLdm(hdd_->GetDevice(d));
  if (raid_ != nullptr)
    for (std::int32_t d = 0; d < raid_->DeviceCount(); ++d) DetectLdm(raid_->GetDevice(d));
  for (std::size_t i = 0; i < ldmCandidates_.size(); ++i) {
    TRaidDevice* device = RegisterCandidate(static_cast<std::int32_t>(i), ldmCandidates_[i], true);
    if (device == nullptr || !device->Metadata) continue;
    for (std::int32_t p = 0; p < device->PartitionCount(); ++p)
      if (TPartition* partition = device->GetPartition(p)) partition->Metadata = true;
  }
  return DeviceCount() > 0;
}

void TLdmManager::HideMemberPartitions() {
  for (std::int32_t v = 0; v < DeviceCount(); ++v) {
    auto* volume = dynamic_cast<TRaidDevice*>(GetDevice(v));
    if (volume == nullptr) continue;
    for (const TRaidMember& member : volume->Information().Members) {
      auto* disk = dynamic_cast<TStorageWithPartitions*>(member.Disk);
      if (disk == nullptr || member.Size <= 0) continue;
      const std::int64_t first = MemberBase(member);
      const std::int64_t end = first + member.Size;
      for (TPartitionInformation& entry : disk->Partitions) {
        if (entry.Start >= end || entry.Start + entry.Count <= first) continue;
        entry.Metadata = true;
        if (entry.Partition) entry.Partition->Metadata = true;
      }
    }
  }
}

void TLdmManager::EndScan() {
  TRaidManager::EndScan();
  HideDuplicates(raid_);
  // The dynamic-disk partition that holds a volume's member shows as the
  // volume itself.
  HideMemberPartitions();
}

}  // namespace vandrel
