#include "volumes/ldm/ldm_parse.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <unordered_map>

#include "common/func.h"
#include "common/log.h"

namespace vandrel {
namespace {

// Reads the fields of one record in order. A field that would run past the
// record's end reads as 0 or empty and consumes nothing, so a short record
// leaves its later fields zero.
class FieldReader {
 public:
  FieldReader(ByteSpan record, std::uint64_t position) : record_(record), position_(position) {}

  std::uint64_t VarInt() {
    if (!Fits(record_, position_, 1)) return 0;
    const unsigned width = std::min<unsigned>(record_[position_], 8);
    if (!Fits(record_, position_ + 1, width)) return 0;
    std::uint64_t value = 0;
    for (unsigned i = 0; i < width; ++i) value = (value << 8) | record_[position_ + 1 + i];
    position_ += 1 + width;
    return value;
  }

  std::string VarString() {
    if (!Fits(record_, position_, 1)) return {};
    const std::uint8_t length = record_[position_];
    if (!Fits(record_, position_ + 1, length)) return {};
    std::string text = LoadText(record_, position_ + 1, length);
    position_ += 1 + length;
    return text;
  }

  std::uint8_t U8() { return static_cast<std::uint8_t>(Fixed(1)); }
  std::uint16_t U16() { return static_cast<std::uint16_t>(Fixed(2)); }
  std::uint32_t U32() { return static_cast<std::uint32_t>(Fixed(4)); }
  std::uint64_t U64() { return Fixed(8); }

  void Skip(std::uint64_t count) {
    if (Fits(record_, position_, count)) position_ += count;
  }

  template <std::size_t N>
  void Bytes(std::array<std::uint8_t, N>& out) {
    if (!Fits(record_, position_, N)) return;
    std::copy_n(record_.begin() + static_cast<std::ptrdiff_t>(position_), N, out.begin());
    position_ += N;
  }

 private:
  std::uint64_t Fixed(unsigned width) {
    if (!Fits(record_, position_, width)) return 0;
    std::uint64_t value = 0;
    for (unsigned i = 0; i < width; ++i) value = (value << 8) | record_[position_ + i];
    position_ += width;
    return value;
  }

  ByteSpan record_;
  std::uint64_t position_;
};

void ParseVolume(FieldReader& in, std::uint8_t flags, TVBLK_Volume& v) {
  v.VolumeType = in.VarString();
  in.Skip(1);
  in.Skip(14);  // state text, "ACTIVE"
  v.VolumeKind = in.U8();
  in.Skip(1);
  v.VolumeNumber = in.U8();
  in.Skip(3);
  v.VolumeFlags = in.U8();
  v.ComponentCount = in.VarInt();
  v.CommitId = in.U64();
  v.Id2 = in.U64();
  v.Size = in.VarInt();
  in.Skip(4);
  v.PartitionType = in.U8();
  in.Bytes(v.Guid);
  if (flags & 0x08) in.VarInt();
  if (flags & 0x20) in.VarInt();
  if (flags & 0x80) in.VarInt();
  if (flags & 0x02) v.DriveHint = in.VarString();
}

void ParseComponent(FieldReader& in, TVBLK_Component& c) {
  c.State = in.VarString();
  c.ComponentType = in.U8();
  in.Skip(4);
  c.ChildCount = in.VarInt();
  in.Skip(8);
  in.Skip(8);
  c.ParentVolumeId = in.VarInt();
  in.Skip(1);
  c.StripeSize = in.VarInt();
  c.ColumnCount = in.VarInt();
}

void ParsePartition(FieldReader& in, TVBLK_Partition& p) {
  in.Skip(4);
  in.Skip(8);
  p.Start = in.U64();
  p.VolumeOffset = in.U64();
  p.Size = in.VarInt();
  p.ParentComponentId = in.VarInt();
  p.DiskId = in.VarInt();
  p.Index = in.VarInt();
}

}  // namespace

bool ParsePrivHead(ByteSpan sector, TPrivHead& out) {
  if (!BytesEqual(sector, 0, "PRIVHEAD")) return false;
  out.DiskId = LoadText(sector, 0x30, 64);
  out.DiskGroupName = LoadText(sector, 0xF0, 32);
  out.LogicalDiskStart = Be64(sector, 0x11B);
  out.ConfigStart = Be64(sector, 0x12B);
  return true;
}

bool ParseVblk(ByteSpan record, TVBLK& out) {
  if (!BytesEqual(record, 0, "VBLK")) return false;
  out = TVBLK{};
  out.Sequence = Be32(record, 4);
  out.Group = Be32(record, 8);
  out.RecordNumber = Be16(record, 12);
  out.RecordCount = Be16(record, 14);
  out.Flags = record.size() > 18 ? record[18] : 0;
  out.RecordType = record.size() > 19 ? record[19] : 0;
  out.DataLength = std::min(Be32(record, 20), kVblkMaxDataLength);
  // The fields end data-length bytes after the header, never past the record.
  const std::uint64_t end = std::min<std::uint64_t>(record.size(), kVblkFieldsStart + std::uint64_t{out.DataLength});
  if (end <= kVblkFieldsStart) return true;
  FieldReader in(record.first(end), kVblkFieldsStart);
  out.ObjectId = in.VarInt();
  out.Name = in.VarString();
  switch (out.RecordType) {
    case kVblkVolume: ParseVolume(in, out.Flags, out.Volume); break;
    case kVblkComponent: ParseComponent(in, out.Component); break;
    case kVblkPartition: ParsePartition(in, out.Partition); break;
    case kVblkDisk:
      out.Disk.DiskId = in.VarString();
      out.Disk.AltName = in.VarString();
      break;
    case kVblkDiskGuid: in.Bytes(out.DiskGuid.DiskGuid); break;
    case kVblkDiskGroup: out.DiskGroup.IdText = in.VarString(); break;
    case kVblkDiskGroupGuid: in.Bytes(out.DiskGroupGuid.Guid); break;
    default: LogText("Unknown record type: " + std::to_string(out.RecordType)); break;
  }
  return true;
}

std::string VblkDiskIdent(const TVBLK& disk) {
  if (disk.RecordType == kVblkDisk) return disk.Disk.DiskId.substr(0, 64);
  if (disk.RecordType != kVblkDiskGuid) return {};
  // PRIVHEAD names the disk by this GUID in text form; copying the raw bytes
  // as text could never match it.
  const auto& g = disk.DiskGuid.DiskGuid;
  std::string text;
  for (std::size_t i = 0; i < g.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text += Sprintf("%02x", g[i]);
  }
  return text;
}

LdmAreaStatus LocateVblkArea(ByteSpan buffer, std::int64_t firstSector, std::uint32_t sectorSize,
                             const TPrivHead& head, LdmVblkArea& area) {
  area = {};
  if (sectorSize == 0) return LdmAreaStatus::kTocOutside;
  const std::uint64_t sectors = buffer.size() / sectorSize;
  auto sectorAt = [&](std::uint64_t index) { return buffer.subspan(index * sectorSize, sectorSize); };
  // Unsigned arithmetic: a configuration start before the buffer wraps to a
  // huge value and fails the same test as one after it.
  const std::uint64_t h = head.ConfigStart - static_cast<std::uint64_t>(firstSector);
  if (h >= sectors) return LdmAreaStatus::kTocOutside;
  std::uint64_t toc = 0;
  if (h + 1 < sectors && BytesEqual(sectorAt(h + 1), 0, "TOCBLOCK")) {
    toc = h + 1;
  } else if (h + 2 < sectors && BytesEqual(sectorAt(h + 2), 0, "TOCBLOCK")) {
    toc = h + 2;
  } else {
    return LdmAreaStatus::kTocMagic;
  }
  const std::uint64_t vmdbStart = Be64(sectorAt(toc), 0x2E);
  if (vmdbStart >= sectors || h + vmdbStart >= sectors) return LdmAreaStatus::kVmdbOutside;
  const std::uint64_t v = h + vmdbStart;
  const ByteSpan vmdb = sectorAt(v);
  if (!BytesEqual(vmdb, 0, "VMDB")) return LdmAreaStatus::kVmdbMagic;
  const std::uint64_t lastSequence = Be32(vmdb, 4);
  const std::uint64_t firstOffset = Be32(vmdb, 0x0C);
  const std::uint64_t s = v + firstOffset / sectorSize;
  if (s >= sectors) return LdmAreaStatus::kVblkOutside;
  // The database ends 128 x last sequence bytes after the VMDB, or at the
  // end of the buffer.
  const std::uint64_t claimed = lastSequence * kVblkSlotSize;
  const std::uint64_t wanted = claimed > firstOffset ? claimed - firstOffset : 0;
  area.Offset = s * sectorSize;
  area.Length = std::min<std::uint64_t>(wanted, (sectors - s) * sectorSize);
  return LdmAreaStatus::kOk;
}

const TNode* TLdmTree::DiskOf(const TNode& partition) const {
  if (partition.FirstChild < 0 || static_cast<std::size_t>(partition.FirstChild) >= Disks.size()) return nullptr;
  return &Disks[static_cast<std::size_t>(partition.FirstChild)];
}

void TLdmTree::Keep(const TVBLK& record) {
  TArrayTNode* target = nullptr;
  switch (record.RecordType) {
    case kVblkVolume: target = &Volumes; break;
    case kVblkComponent: target = &Components; break;
    case kVblkPartition: target = &Partitions; break;
    case kVblkDisk:
    case kVblkDiskGuid: target = &Disks; break;
    default: return;
  }
  TNode node;
  node.ObjectId = record.ObjectId;
  node.Vblk = record;
  target->push_back(std::move(node));
}

void TLdmTree::AddFragment(ByteSpan slot, std::uint32_t group, std::uint16_t number, std::uint16_t count) {
  // A fragment number outside the record would land past its buffer.
  if (number >= count) return;
  auto it = std::find_if(assemblies_.begin(), assemblies_.end(),
                         [&](const Assembly& a) { return a.Group == group && a.RecordCount == count; });
  if (it == assemblies_.end()) {
    assemblies_.push_back({group, count, 0, {}});
    it = assemblies_.end() - 1;
  }
  if (it->Buffer.empty()) it->Buffer.assign(std::size_t{kVblkSlotSize} * count, 0);
  if (number == 0) {
    std::copy_n(slot.begin(), kVblkSlotSize, it->Buffer.begin());
  } else {
    std::copy_n(slot.begin() + kVblkSlotHeader, kVblkFragmentData,
                it->Buffer.begin() + kVblkSlotHeader + std::ptrdiff_t{kVblkFragmentData} * number);
  }
  // A fragment seen twice counts once.
  it->Received |= 1u << number;
  if (it->Received != (1u << count) - 1) return;
  TVBLK record;
  if (ParseVblk(it->Buffer, record)) Keep(record);
  assemblies_.erase(it);
}

void TLdmTree::BuildLdmTree(ByteSpan area, std::uint64_t length) {
  Volumes.clear();
  Components.clear();
  Partitions.clear();
  Disks.clear();
  assemblies_.clear();
  length = std::min<std::uint64_t>(length, area.size());
  for (std::uint64_t offset = 0; offset + kVblkSlotSize <= length; offset += kVblkSlotSize) {
    const ByteSpan slot = area.subspan(offset, kVblkSlotSize);
    if (!BytesEqual(slot, 0, "VBLK")) continue;
    const std::uint32_t sequence = Be32(slot, 4);
    const std::uint32_t group = Be32(slot, 8);
    const auto number = static_cast<std::uint16_t>(std::min<std::uint32_t>(Be16(slot, 12), kVblkMaxFragments));
    const auto count = static_cast<std::uint16_t>(std::min<std::uint32_t>(Be16(slot, 14), kVblkMaxFragments));
    if (sequence == 0 || group == 0 || count == 0) continue;
    if (count == 1) {
      TVBLK record;
      if (ParseVblk(slot, record)) Keep(record);
    } else {
      AddFragment(slot, group, number, count);
    }
  }
  // Records whose fragments never all arrived are dropped.
  assemblies_.clear();
  Volumes.shrink_to_fit();
  Components.shrink_to_fit();
  Partitions.shrink_to_fit();
  Disks.shrink_to_fit();
  LinkLdmTree();
}

void TLdmTree::LinkLdmTree() {
  for (auto& node : Volumes) node.FirstChild = -1;
  for (auto& node : Components) node.FirstChild = node.Next = -1;
  for (auto& node : Partitions) node.FirstChild = node.Next = -1;
  // Children are appended, so each child list keeps the database's order
  // (the order in which the volume's members are shown).
  auto link = [](TArrayTNode& parents, TArrayTNode& children, auto parentIdOf) {
    std::unordered_map<std::uint64_t, std::size_t> byId;
    for (std::size_t i = parents.size(); i-- > 0;) byId[parents[i].ObjectId] = i;  // first one wins
    std::vector<std::int32_t> tail(parents.size(), -1);
    for (std::size_t c = 0; c < children.size(); ++c) {
      const auto found = byId.find(parentIdOf(children[c]));
      if (found == byId.end()) continue;
      const auto child = static_cast<std::int32_t>(c);
      std::int32_t& last = tail[found->second];
      if (last < 0) {
        parents[found->second].FirstChild = child;
      } else {
        children[static_cast<std::size_t>(last)].Next = child;
      }
      last = child;
    }
  };
  link(Volumes, Components, [](const TNode& n) { return n.Vblk.Component.ParentVolumeId; });
  link(Components, Partitions, [](const TNode& n) { return n.Vblk.Partition.ParentComponentId; });
  std::unordered_map<std::uint64_t, std::int32_t> disks;
  for (std::size_t d = 0; d < Disks.size(); ++d) disks[Disks[d].ObjectId] = static_cast<std::int32_t>(d);  // last one wins
  for (auto& partition : Partitions) {
    const auto found = disks.find(partition.Vblk.Partition.DiskId);
    if (found != disks.end()) partition.FirstChild = found->second;
  }
}

namespace {

void SetIdent(TRaidMember& member, const std::string& text) {
  member.Ident.fill(0);
  std::copy_n(text.begin(), std::min(text.size(), member.Ident.size()), member.Ident.begin());
}

std::string IdentText(const TRaidMember& member) {
  return LoadText(ByteSpan(member.Ident), 0, member.Ident.size());
}

bool EqualIdent(std::string_view a, std::string_view b) {
  a = a.substr(0, 64);
  b = b.substr(0, 64);
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// The layout of a volume. The database says it in its components: more
// than one component mirrors them, and a component's type byte tells
// striped, spanned and RAID-5 apart. Names ("Volume", "Stripe", "Raid")
// are only a fallback: Windows calls striped and RAID-5 volumes "VolumeN"
// as well.
TRaidType VolumeType(const TLdmTree& tree, const TNode& volume) {
  std::size_t components = 0;
  std::uint8_t componentType = 0;
  for (std::int32_t c = volume.FirstChild; c >= 0 && components <= tree.Components.size();
       c = tree.Components[static_cast<std::size_t>(c)].Next) {
    ++components;
    componentType = tree.Components[static_cast<std::size_t>(c)].Vblk.Component.ComponentType;
  }
  if (components >= 2 || volume.Vblk.Volume.ComponentCount >= 2) return TRaidType::Mirror;
  switch (componentType) {
    case kLdmComponentStripe: return TRaidType::Stripe;
    case kLdmComponentSpanned: return TRaidType::Span;
    case kLdmComponentRaid5: return TRaidType::Raid5;
    default: break;
  }
  const std::string& name = volume.Vblk.Name;
  if (StartsWith(name, "Volume")) return volume.Vblk.Volume.ComponentCount == 2 ? TRaidType::Mirror : TRaidType::Span;
  if (StartsWith(name, "Raid")) return TRaidType::Raid5;
  if (StartsWith(name, "Stripe")) return TRaidType::Stripe;
  return TRaidType::Unknown;
}

bool SameMember(const TRaidMember& a, const TRaidMember& b) {
  return a.Start == b.Start && a.VolumeStart == b.VolumeStart && a.Size == b.Size && a.Index == b.Index &&
         a.Ident == b.Ident;
}

// The same volume read from a second copy of a group's database. `Offset`
// and `Disk` are left out: they tell which disks were attached so far, not
// which volume this is.
bool SameCandidate(const TRaidInfo& a, const TRaidInfo& b) {
  return a.Type == b.Type && a.Base == b.Base && a.DiskCount == b.DiskCount && a.SizeInSector == b.SizeInSector &&
         a.SectorSize == b.SectorSize && a.StripeSize == b.StripeSize && a.Id == b.Id &&
         a.Members.size() == b.Members.size() &&
         std::equal(a.Members.begin(), a.Members.end(), b.Members.begin(), SameMember);
}

}  // namespace

void TLdmTree::BuildLdmCandidates(TRaidInfoArray& list) const {
  for (const TNode& volume : Volumes) {
    TRaidInfo info;
    // A volume without a drive hint is named by its record, so that it can
    // still be opened (an unnamed array has no layout).
    info.Name = volume.Vblk.Volume.DriveHint.empty() ? volume.Vblk.Name : volume.Vblk.Volume.DriveHint;
    info.Vendor = "Dynamic Disk";
    info.Base = TRaidFamily::Ldm;
    info.SectorSize = 512;
    // The whole volume: its file system's last sectors (the NTFS backup boot
    // sector among them) lie in the final sector.
    info.SizeInSector = static_cast<std::int64_t>(std::min<std::uint64_t>(volume.Vblk.Volume.Size, INT64_MAX));
    info.Type = VolumeType(*this, volume);
    std::size_t guard = 0;
    for (std::int32_t c = volume.FirstChild; c >= 0 && guard++ <= Components.size();
         c = Components[static_cast<std::size_t>(c)].Next) {
      const TNode& component = Components[static_cast<std::size_t>(c)];
      info.StripeSize = static_cast<std::int32_t>(std::min<std::uint64_t>(component.Vblk.Component.StripeSize, INT32_MAX));
      for (std::int32_t p = component.FirstChild; p >= 0 && guard++ <= Components.size() + Partitions.size();
           p = Partitions[static_cast<std::size_t>(p)].Next) {
        const TNode& partition = Partitions[static_cast<std::size_t>(p)];
        const TVBLK_Partition& fields = partition.Vblk.Partition;
        TRaidMember member;
        member.Offset = 4;
        member.Start = static_cast<std::int64_t>(std::min<std::uint64_t>(fields.Start, INT64_MAX));
        member.VolumeStart = static_cast<std::int64_t>(std::min<std::uint64_t>(fields.VolumeOffset, INT64_MAX));
        member.Size = static_cast<std::int64_t>(std::min<std::uint64_t>(fields.Size, INT64_MAX));
        member.Index = static_cast<std::uint8_t>(fields.Index);
        if (const TNode* disk = DiskOf(partition)) SetIdent(member, VblkDiskIdent(disk->Vblk));
        info.Members.push_back(member);
      }
    }
    info.DiskCount = static_cast<std::int32_t>(info.Members.size());
    if (info.DiskCount == 1 && (info.Type == TRaidType::Span || info.Type == TRaidType::Mirror))
      info.Type = TRaidType::Simple;
    list.push_back(std::move(info));
  }
  SortAndMergeCandidates(list);
}

void SortAndMergeCandidates(TRaidInfoArray& list) {
  for (TRaidInfo& info : list) {
    if (info.Type == TRaidType::Stripe || info.Type == TRaidType::Raid5) {
      std::stable_sort(info.Members.begin(), info.Members.end(),
                       [](const TRaidMember& a, const TRaidMember& b) { return a.Index < b.Index; });
    } else if (info.Type == TRaidType::Span) {
      std::stable_sort(info.Members.begin(), info.Members.end(),
                       [](const TRaidMember& a, const TRaidMember& b) { return a.VolumeStart < b.VolumeStart; });
    }
  }
  TRaidInfoArray kept;
  kept.reserve(list.size());
  for (TRaidInfo& info : list) {
    const bool seen = std::any_of(kept.begin(), kept.end(), [&](const TRaidInfo& k) { return SameCandidate(k, info); });
    if (!seen) kept.push_back(std::move(info));
  }
  list = std::move(kept);
}

bool MatchLdmDisk(TRaidInfoArray& list, TStorage* device, const std::string& diskId, const std::string& groupName,
                  std::uint64_t logicalDiskStart) {
  // An empty id would match every member whose disk record is missing.
  if (diskId.empty()) return false;
  bool matched = false;
  for (TRaidInfo& info : list) {
    for (TRaidMember& member : info.Members) {
      if (!EqualIdent(IdentText(member), diskId)) continue;
      if (!Contains(info.Vendor, groupName)) info.Vendor = groupName + " (" + info.Vendor + ")";
      member.Disk = device;
      member.Offset = static_cast<std::int64_t>(std::min<std::uint64_t>(logicalDiskStart, INT64_MAX));
      matched = true;
    }
  }
  return matched;
}

}  // namespace vandrel
