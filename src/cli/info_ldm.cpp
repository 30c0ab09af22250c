// `info` of a dynamic volume: its layout and the disk partitions it is made of.
#include <string>
#include <vector>

#include "cli/info_sections.h"
#include "common/endian.h"
#include "raid/uRaidManager.h"

namespace vandrel::cli {
namespace {

std::vector<InfoSection> DynamicVolumeSection(Session& /*session*/, TStorage* storage) {
  TRaidDevice* volume = RaidDeviceOf(storage);
  if (volume == nullptr || volume->Information().Base != rbLdm) return {};
  const TRaidInfo& info = volume->Information();
  InfoSection s{"Dynamic Volume", {}, {}};
  s.facts.emplace_back("Name", info.Name);
  s.facts.emplace_back("Disk group", info.Vendor);
  s.facts.emplace_back("Type", RaidTypeName(info.Type, true));
  s.facts.emplace_back("Sectors", std::to_string(info.SizeInSector));
  if (info.Type == rtStripe || info.Type == rtRaid5) s.facts.emplace_back("Stripe size", std::to_string(info.StripeSize));
  s.facts.emplace_back("State", RaidStateName(volume->RaidState));
  for (const TRaidMember& member : info.Members) {
    const std::string ident = LoadText(ByteSpan(member.Ident), 0, member.Ident.size());
    s.rows.push_back({{"Index", std::to_string(member.Index)},
                      {"Disk id", ident},
                      {"Disk", member.Disk != nullptr ? member.Disk->GetName(false) : std::string("missing")},
                      {"First sector", member.Disk != nullptr ? std::to_string(MemberBase(member)) : std::string()},
                      {"Sectors", std::to_string(member.Size)},
                      {"Volume offset", std::to_string(member.VolumeStart)}});
  }
  return {s};
}

const InfoRegistrar kDynamicVolume{40, DynamicVolumeSection};

}  // namespace
}  // namespace vandrel::cli
