// Finding the MFT: from the boot sector's pointers, through $MFT's own
// attribute list, or by looking for the mirror in the middle of the volume.
#include <algorithm>
#include <bit>

#include "common/error_codes.h"
#include "common/log.h"
#include "common/text.h"
#include "filesystems/ntfs/ntfs.h"
#include "filesystems/ntfs/attribute_list.h"
#include "filesystems/ntfs/record_description.h"

namespace vandrel {

bool TNTFS::BuildMft(std::int64_t recordByteOffset, std::vector<TRunNode>& runs, std::int64_t& dataSize) {
  runs.clear();
  dataSize = 0;
  TNtfs_File_Streams s;
  s.Number = 0;
  s.Record.assign(boot_.RecordSize, 0);
  if (!ReadVolume(recordByteOffset, s.Record.data(), s.Record.size())) return false;
  // A torn $MFT record's runs are not trusted: the other copy, the backup
  // boot sector or the mirror search take over.
  if (!ApplyFixup(s.Record)) {
    LogEvent(kSenderNtfs, kErrFixup, 0, "$MFT record at byte " + std::to_string(recordByteOffset) + " is torn", 3);
    return false;
  }
  if (!ParseRecordAttributes(s.Record, s.Info, s.Headers)) return false;
  for (const TNtfsAttrHeader& h : s.Headers)
    if (h.Type == kNtfsAttrData && h.Name.empty() && h.NonResident && h.StartVcn == 0) {
      TNtfsAttrDesc d;
      DescFromHeader(s.Record, h, 0, clusterCount_, d);
      runs = std::move(d.Runs);
      dataSize = d.DataSize;
      break;
    }
  if (runs.empty()) return false;
  // Extension records of $MFT itself are located through the extents
  // decoded so far.
  bool hasList = false;
  for (const TNtfsAttrHeader& h : s.Headers) hasList = hasList || h.Type == kNtfsAttrAttributeList;
  if (!hasList) return true;
  const auto savedRuns = mftRuns_;
  const auto savedSize = mftDataSize_;
  mftRuns_ = runs;
  mftDataSize_ = 0;
  for (std::size_t i = 0; i < s.Headers.size(); ++i) {
    const TNtfsAttrHeader& h = s.Headers[i];
    s.Entries.push_back({h.Name, h.Type, h.Id, h.Flags, 0, false, !h.NonResident, h.StartVcn, static_cast<std::int32_t>(i)});
    if (h.Type != kNtfsAttrAttributeList) continue;
    TNtfsAttrDesc listDesc;
    DescFromHeader(s.Record, h, 0, clusterCount_, listDesc);
    std::vector<std::uint8_t> list;
    ReadAttributeValue(listDesc, list, kMaxListBytes);
    std::vector<TNtfsListEntry> entries;
    ParseAttributeList(list, entries);
    for (const TNtfsListEntry& e : entries)
      if (e.Record != 0)
        s.Entries.push_back({e.Name, e.Type, e.Id, 0, static_cast<std::int64_t>(e.Record), true, false, e.StartVcn, -1});
  }
  TNtfsAttrDesc all;
  if (CollectAttribute(s, kNtfsAttrData, "", all) && !all.Resident && all.Runs.size() >= runs.size()) {
    runs = std::move(all.Runs);
    dataSize = all.DataSize;
  }
  mftRuns_ = savedRuns;
  mftDataSize_ = savedSize;
  return true;
}

bool TNTFS::FindMftDirect(std::int64_t& mftOffset, std::int64_t& mirrorOffset) {
  mftOffset = mirrorOffset = -1;
  LogText("Calculating direct mft position");
  const std::int64_t sectorSize = storage_->SectorSize > 0 ? storage_->SectorSize : 512;
  const std::int64_t sectors = storage_->SectorCount;
  if (sectors <= 0 || sectors > INT64_MAX / 2 / sectorSize) return false;
  const std::int64_t base = (sectors - 1) / 2 - 12;
  if (base < 0) return false;
  // The mirror starts on a cluster boundary at or below the middle: with
  // clusters larger than the 24 sectors looked at first it lies further
  // down, by less than the largest cluster.
  constexpr std::int64_t kLargestCluster = 2 << 20;
  const std::int64_t windowStart = base * sectorSize;
  const std::int64_t windowEnd = (base + 24) * sectorSize;
  const std::int64_t low = std::max<std::int64_t>(0, windowStart - kLargestCluster);
  std::vector<std::uint8_t> area(static_cast<std::size_t>(windowEnd - low));
  ReadVolume(low, area.data(), area.size());
  std::vector<std::uint8_t> record;
  // The name of the record at `offset`, its description and its length,
  // which the record itself gives: the boot sector that would is gone.
  auto describe = [&](std::int64_t offset, TNtfsRecordDescription& d, std::uint32_t& size) -> std::string {
    if (offset < low || offset >= windowEnd) return {};
    const ByteSpan here(area.data() + (offset - low), static_cast<std::size_t>(windowEnd - offset));
    if (!BytesEqual(here, 0, "FILE")) return {};
    size = Le32(here, kMftRecordBytesAllocated);
    if (size < 512 || size > 65536 || !std::has_single_bit(size)) size = boot_.RecordSize;
    if (size > here.size()) return {};
    record.assign(here.begin(), here.begin() + size);
    if (!ApplyFixup(record)) return {};  // a torn copy is no guide
    // Runs are not bounded by a cluster count here: the geometry may still
    // be a guess.
    if (!DescribeRecord(record, 0, d) || !d.Names.Found()) return {};
    return d.Names.Chosen().Name;
  };
  TNtfsRecordDescription mft, mirror;
  std::uint32_t mftSize = 0, mirrorSize = 0;
  // The 24 sectors of the middle first, then downwards.
  std::vector<std::int64_t> offsets;
  for (std::int64_t at = windowStart; at < windowStart + 23 * sectorSize; at += 512) offsets.push_back(at);
  for (std::int64_t at = windowStart - 512; at >= low; at -= 512) offsets.push_back(at);
  for (const std::int64_t at : offsets) {
    TNtfsRecordDescription d;
    std::uint32_t size = 0;
    const std::string name = describe(at, d, size);
    if (name == "$MFT" && mftOffset < 0) {
      mftOffset = at;
      mft = d;
      mftSize = size;
    } else if (name == "$MFTMirr") {
      mirrorOffset = at;
      mirror = d;
      mirrorSize = size;
      break;
    }
  }
  if (mirrorOffset >= 0) {
    // Record 1 follows record 0 at the start of the mirror's first cluster.
    const std::int64_t start = mirrorOffset - mirrorSize;
    if (mftOffset != start) {
      TNtfsRecordDescription d;
      std::uint32_t size = 0;
      if (describe(start, d, size) == "$MFT") {
        mftOffset = start;
        mft = d;
        mftSize = size;
      }
    }
    // That cluster is the mirror's first (or, for a copy inside $MFT
    // itself, $MFT's first): its number gives the cluster size.
    for (const std::int64_t lcn : {mirror.FirstLcn, mftOffset == start ? mft.FirstLcn : std::int64_t{-1}}) {
      if (lcn <= 0 || start <= 0 || start % lcn != 0) continue;
      const std::int64_t clusterSize = start / lcn;
      if (clusterSize < boot_.BytesPerSector || clusterSize > kLargestCluster ||
          !std::has_single_bit(static_cast<std::uint64_t>(clusterSize)))
        continue;
      SetClusterSize(static_cast<std::uint32_t>(clusterSize));
      break;
    }
  }
  if (mftOffset >= 0) boot_.RecordSize = mftSize;
  return mftOffset >= 0 || mirrorOffset >= 0;
}

}  // namespace vandrel
