#include "ui/raid_link.h"

#include "storage/uHardDrive.h"

namespace vandrel {

bool IsRaidStorage(TStorage* storage) {
  if (storage == nullptr) return false;
  if (storage->StorageSource == ssRaid || storage->StorageSource == ssLdm) return true;
  return storage->StorageType == stRaidVolume;
}

std::optional<TRaidView> DescribeRaid(TStorage* /*storage*/) { return std::nullopt; }

std::string RaidDevicesContaining(TDeviceManager& /*manager*/, TStorage* /*disk*/) { return {}; }

}  // namespace vandrel
