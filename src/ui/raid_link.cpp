#include "ui/raid_link.h"

#include "devices/device_manager.h"
#include "volumes/raid/raid_manager.h"
#include "storage/hard_drive.h"

namespace vandrel {
bool IsRaidStorage(TStorage* storage) {
  if (storage == nullptr) return false;
  if (dynamic_cast<TRaidDevice*>(storage) != nullptr) return true;
  return storage->StorageSource == ssRaid || storage->StorageSource == ssLdm;
}

std::optional<TRaidView> DescribeRaid(TStorage* storage) {
  TRaidDevice* device = RaidDeviceOf(storage);
  if (device == nullptr) return std::nullopt;
  const TRaidInfo& info = device->Information();
  TRaidView view;
  view.device = device;
  view.isVolume = dynamic_cast<TRaidVolume*>(storage) != nullptr;
  view.isDevice = !view.isVolume && storage == device;
  view.name = device->GetName(false);
  view.vendor = info.Vendor;
  view.diskCount = info.DiskCount;
  view.stripeBytes = static_cast<std::int64_t>(info.StripeSize) * device->SectorSize;
  view.status = RaidStateName(device->RaidState);
  for (const TRaidMember& member : info.Members)
    view.members.push_back({member.Disk, MemberBase(member), member.Size});
  return view;
}

std::string RaidDevicesContaining(TDeviceManager& manager, TStorage* disk) {
  std::string names;
  if (disk == nullptr) return names;
  const std::int32_t count = manager.StorageCount();
  for (std::int32_t i = 0; i < count; ++i) {
    auto* device = dynamic_cast<TRaidDevice*>(manager.GetStorage(i));
    if (device == nullptr) continue;
    for (const TRaidMember& member : device->Information().Members)
      if (member.Disk == disk) names += (names.empty() ? "" : ", ") + device->GetName(false);
  }
  return names;
}

}  // namespace vandrel
