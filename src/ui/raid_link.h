// What the properties window shows of RAID storage, gathered from the RAID
// manager's devices. Empty while the build has no RAID devices.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vandrel {

class TDeviceManager;
class TStorage;

struct TRaidMemberView {
  TStorage* disk = nullptr;  // nothing for an absent member
  std::int64_t firstSector = 0;  // Offset + Start
  std::int64_t sectorCount = 0;
};

struct TRaidView {
  TStorage* device = nullptr;  // the RAID device (or volume) itself
  bool isVolume = false;       // a volume that is no whole RAID device
  bool isDevice = false;
  std::string name;
  std::string vendor;
  std::int32_t diskCount = 0;
  std::int64_t stripeBytes = 0;
  std::string status;
  std::vector<TRaidMemberView> members;
};

// Whether a storage belongs to RAID or dynamic-disk storage (it or its
// parent device is a RAID device or volume, or its source says so).
bool IsRaidStorage(TStorage* storage);
// The RAID device behind `storage` (itself or its parent); nothing when the
// build knows no RAID device there.
std::optional<TRaidView> DescribeRaid(TStorage* storage);
// Long names of the RAID devices with `disk` as a member, once per member
// entry, joined by ", ".
std::string RaidDevicesContaining(TDeviceManager& manager, TStorage* disk);

}  // namespace vandrel
