// The Raid section of `info`: the array behind a RAID device, a RAID volume
// or one of their partitions, with its members and their storages.
#include "cli/info_sections.h"
#include "common/func.h"
#include "common/messages.h"
#include "volumes/raid/raid_manager.h"

namespace vandrel::cli {
namespace {

std::vector<InfoSection> RaidSection(Session& /*session*/, TStorage* storage) {
  TRaidDevice* raid = RaidDeviceOf(storage);
  if (raid == nullptr) return {};
  const TRaidInfo& info = raid->Information();
  InfoSection s{"Raid", {}, {}};
  s.facts.emplace_back("Name", raid->GetName(false));
  s.facts.emplace_back("Type", info.Vendor);
  s.facts.emplace_back("Layout", RaidTypeName(info.Type, true));
  s.facts.emplace_back("Stripe size", info.StripeSize == 0 ? Message(105)
                                                            : GroupDigits(static_cast<std::uint64_t>(info.StripeSize) *
                                                                          static_cast<std::uint64_t>(raid->SectorSize)) +
                                                                  "b");
  s.facts.emplace_back("Total disks", std::to_string(info.DiskCount));
  s.facts.emplace_back("Status", RaidStateName(raid->RaidState));
  for (const TRaidMember& member : info.Members) {
    std::vector<std::pair<std::string, std::string>> row;
    if (member.Disk == nullptr) {
      row.emplace_back("Name", Message(105));
      s.rows.push_back(row);
      continue;
    }
    row.emplace_back("Name", member.Disk->GetName(false));
    row.emplace_back("Size", TDeviceManager::SizeText(member.Disk));
    auto* drive = dynamic_cast<THardDrive*>(member.Disk);
    row.emplace_back("ID", drive != nullptr && drive->DriveNumber() >= 0 && drive->DriveNumber() <= 255
                               ? std::to_string(drive->DriveNumber())
                               : std::string());
    row.emplace_back("Serial number", drive != nullptr ? drive->Serial : std::string());
    row.emplace_back("Start Sector", GroupDigits(static_cast<std::uint64_t>(std::max<std::int64_t>(0, MemberBase(member)))));
    row.emplace_back("Count Sector", GroupDigits(static_cast<std::uint64_t>(std::max<std::int64_t>(0, member.Size))));
    s.rows.push_back(row);
  }
  return {s};
}

const InfoRegistrar kRaid{25, RaidSection};

}  // namespace
}  // namespace vandrel::cli
