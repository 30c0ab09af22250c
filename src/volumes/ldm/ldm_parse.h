// Reading the dynamic-disk database from a buffer: finding the VBLK area
// behind PRIVHEAD, TOCBLOCK and VMDB, joining fragmented records, and the
// tree of volumes, components, partitions and disks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/endian.h"
#include "volumes/ldm/ldm_types.h"
#include "volumes/raid/raid_storage.h"

namespace vandrel {

// Where the records lie in a buffer holding the database area.
enum class LdmAreaStatus {
  kOk,
  kTocOutside,   // configuration start not inside the buffer
  kTocMagic,     // no TOCBLOCK at either place
  kVmdbOutside,  // VMDB sector not inside the buffer
  kVmdbMagic,
  kVblkOutside,  // first VBLK not inside the buffer
};

struct LdmVblkArea {
  std::uint64_t Offset = 0;  // bytes into the buffer
  std::uint64_t Length = 0;
};

// `buffer` holds `buffer.size() / sectorSize` sectors starting at device
// sector `firstSector`; its last sector is the PRIVHEAD `head`.
LdmAreaStatus LocateVblkArea(ByteSpan buffer, std::int64_t firstSector, std::uint32_t sectorSize,
                             const TPrivHead& head, LdmVblkArea& area);

class TLdmTree {
 public:
  // Walks the area slot by slot, joins fragments, keeps volumes,
  // components, partitions and disks, then links them.
  void BuildLdmTree(ByteSpan area, std::uint64_t length);
  void LinkLdmTree();
  // One candidate per volume, its members the volume's partitions (no disk
  // attached yet); then sorts and merges the whole list.
  void BuildLdmCandidates(TRaidInfoArray& list) const;

  const TNode* DiskOf(const TNode& partition) const;

  TArrayTNode Volumes;
  TArrayTNode Components;
  TArrayTNode Partitions;
  TArrayTNode Disks;

 private:
  // A record whose fragments are still arriving.
  struct Assembly {
    std::uint32_t Group = 0;
    std::uint16_t RecordCount = 0;
    std::uint32_t Received = 0;  // bit k: fragment k arrived
    std::vector<std::uint8_t> Buffer;
  };

  void Keep(const TVBLK& record);
  void AddFragment(ByteSpan slot, std::uint32_t group, std::uint16_t number, std::uint16_t count);

  std::vector<Assembly> assemblies_;
};

// Orders the members of striped and RAID-5 volumes by column and those of
// spanned volumes by their place in the volume; drops candidates that repeat
// an earlier one.
void SortAndMergeCandidates(TRaidInfoArray& list);

// Attaches `device` to every member whose disk id is `diskId` (the member
// then begins at the disk's data area) and puts the group's name into the
// candidate's vendor text. True when some member matched.
bool MatchLdmDisk(TRaidInfoArray& list, TStorage* device, const std::string& diskId, const std::string& groupName,
                  std::uint64_t logicalDiskStart);

}  // namespace vandrel
