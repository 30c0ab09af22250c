// `info` of a dynamic volume: its disk group and every member by disk id.
#include <string>
#include <vector>

#include "cli/info_sections.h"
#include "common/endian.h"
#include "volumes/raid/raid_manager.h"

namespace vandrel::cli {
namespace {

std::vector<InfoSection> DynamicVolumeSection(Session& /*session*/, TStorage* storage) {
  TRaidDevice* volume = RaidDeviceOf(storage);
  if (volume == nullptr || volume->Information().Base != TRaidFamily::Ldm) return {};
  const TRaidInfo& info = volume->Information();
  InfoSection s{"Dynamic Volume", {}, {}};
  s.facts.emplace_back("Disk group", info.Vendor);
  // The Raid section lists the disks that are there; this names every
  // member by its disk id, so a missing disk can be looked for.
  for (const TRaidMember& member : info.Members) {
    s.rows.push_back({{"Column", std::to_string(member.Index)},
                      {"Disk id", LoadText(ByteSpan(member.Ident), 0, member.Ident.size())},
                      {"Disk", member.Disk != nullptr ? member.Disk->GetName(false) : std::string("missing")},
                      {"Sectors", std::to_string(member.Size)},
                      {"Volume offset", std::to_string(member.VolumeStart)}});
  }
  return {s};
}

const InfoRegistrar kDynamicVolume{26, DynamicVolumeSection};

}  // namespace
}  // namespace vandrel::cli
