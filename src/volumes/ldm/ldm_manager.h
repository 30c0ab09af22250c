// The bus manager of dynamic disks: finds the LDM database of every disk and
// RAID device, turns each dynamic volume into a RAID volume read through the
// RAID layouts, and hides the parts of the member disks that the volumes
// cover.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "volumes/ldm/ldm_parse.h"
#include "volumes/raid/raid_manager.h"

namespace vandrel {

class THddManager;

class TLdmManager : public TRaidManager {
 public:
  TLdmManager(THddManager* disks, TRaidManager* raid);
  ~TLdmManager() override;

  bool Enumerate() override;
  void EndScan() override;
  std::string GetVolumeName(TPartition* /*partition*/) override { return "ldm"; }

  // True when it parsed a database on `device`; the volumes found go into
  // the candidate list.
  bool DetectLdm(TStorage* device);
  // `buffer` holds the 1 MiB database area beginning at device sector
  // `firstSector`.
  bool ParseLdmArea(TStorage* device, ByteSpan buffer, std::int64_t firstSector);
  bool MatchLdmDisk(TStorage* device, const std::string& diskId, const std::string& groupName,
                    std::uint64_t logicalDiskStart);

  const TRaidInfoArray& LdmCandidates() const { return ldmCandidates_; }

 private:
  // Partitions of member disks that lie over a volume's members.
  void HideMemberPartitions();

  THddManager* hdd_;
  TRaidManager* raid_;
  TRaidInfoArray ldmCandidates_;
};

}  // namespace vandrel
