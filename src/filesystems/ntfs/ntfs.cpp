#include "filesystems/ntfs/ntfs.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <unordered_map>

#include "common/log.h"
#include "common/text.h"
#include "filesystems/dir_list_ex.h"
#include "common/error_codes.h"
#include "filesystems/volume_read.h"

namespace vandrel {
namespace {

// Attribute lists and index bitmaps larger than this are damage.
constexpr std::size_t kMaxListBytes = 20u << 20;
// Attribute lists the scan reads in all, in bytes.
constexpr std::size_t kMaxScanListBytes = 64u << 20;
// Extension records one attribute may gather.
constexpr std::size_t kMaxExtensionRecords = 4096;
// Listings kept in the directory cache, counted in entries.
constexpr std::size_t kMaxCachedEntries = 1u << 20;
// "Data is encrypted".
constexpr int kErrDataEncrypted = 8;
// Reparse data this long or longer is damage.
constexpr std::int64_t kMaxReparseBytes = 64000;
// Junctions one lookup may pass, as many as Windows follows for one open.
constexpr int kMaxLinkHops = 63;
// Junction targets kept.
constexpr std::size_t kMaxCachedLinks = 65536;

bool NameMatches(std::string_view have, std::string_view want) {
  return want == kNtfsAnyStream || have == want || EqualNoCase(have, want);
}

// Size a reader hands out for an attribute: the data size whenever the
// runs reach it; what they cover when extents are missing.
std::int64_t EffectiveSize(const TNtfsAttrDesc& d, std::uint32_t clusterSize) {
  if (d.Resident) return static_cast<std::int64_t>(d.Value.size());
  const std::int64_t covered = d.CoveredBytes(clusterSize);
  if (d.DataSize < 0) return covered;
  return std::min(d.DataSize, covered);
}

// What is wrong with an attribute's map, found without reading its data.
TDamage DescDamage(const TNtfsAttrDesc& d, std::uint32_t clusterSize) {
  if (d.Resident) return TDamage::None;
  for (const TRunNode& r : d.Runs)
    if (r.Lcn == kLcnOutside) return TDamage::RunOutsideVolume;
  if (d.DataSize > d.CoveredBytes(clusterSize) || d.DataSize > d.AllocatedSize) return TDamage::SizeBeyondMap;
  return TDamage::None;
}

void DescFromHeader(ByteSpan record, const TNtfsAttrHeader& h, std::int64_t recordNumber, std::int64_t clusterCount,
                    TNtfsAttrDesc& d) {
  d = {};
  d.Type = h.Type;
  d.Flags = h.Flags;
  d.RecordNumber = recordNumber;
  if (!h.NonResident) {
    d.Resident = true;
    if (Fits(record, h.ValueOffset, h.ValueLength))
      d.Value.assign(record.begin() + h.ValueOffset, record.begin() + h.ValueOffset + h.ValueLength);
    d.DataSize = d.InitializedSize = d.AllocatedSize = static_cast<std::int64_t>(d.Value.size());
    return;
  }
  d.CompressionUnit = h.CompressionUnit;
  d.AllocatedSize = h.AllocatedSize;
  d.DataSize = h.DataSize;
  d.InitializedSize = h.InitializedSize;
  if (h.RunlistLength > 0 && Fits(record, h.RunlistOffset, h.RunlistLength))
    DecodeRunlist(record.subspan(h.RunlistOffset, h.RunlistLength), h.StartVcn, clusterCount, d.Runs);
}

// The run holding `vcn`, or nullptr; `runs` sorted by VCN.
const TRunNode* FindRun(const std::vector<TRunNode>& runs, std::int64_t vcn) {
  auto it = std::upper_bound(runs.begin(), runs.end(), vcn, [](std::int64_t v, const TRunNode& r) { return v < r.Vcn; });
  if (it == runs.begin()) return nullptr;
  --it;
  return vcn < it->Vcn + it->Length ? &*it : nullptr;
}

// First VCN at or after `vcn` where a run begins; -1 when none.
std::int64_t NextRunStart(const std::vector<TRunNode>& runs, std::int64_t vcn) {
  auto it = std::upper_bound(runs.begin(), runs.end(), vcn, [](std::int64_t v, const TRunNode& r) { return v < r.Vcn; });
  return it == runs.end() ? -1 : it->Vcn;
}

// A directory whose reparse point may make it a junction.
bool MayBeJunction(const TFileEntry& e) { return e.IsDirectory() && (e.Attributes & kAttrReparsePoint) != 0; }

// Whether `path` lies inside `target` (or is it), comparing whole names
// without case. A relative path is inside no absolute target.
bool PathWithin(std::string_view path, std::string_view target) {
  std::vector<std::string_view> inner, outer;
  bool innerAbsolute = false, outerAbsolute = false;
  if (!SplitPath(path, inner, innerAbsolute) || !SplitPath(target, outer, outerAbsolute)) return false;
  if (innerAbsolute != outerAbsolute || outer.size() > inner.size()) return false;
  for (std::size_t i = 0; i < outer.size(); ++i)
    if (!EqualNoCase(inner[i], outer[i])) return false;
  return true;
}

// Characters (not bytes) of UTF-8 text before byte `end`.
std::size_t CharactersBefore(std::string_view text, std::size_t end) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < end && i < text.size(); ++i)
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++n;
  return n;
}

TFileEntry EntryFromIndex(const TNtfsIndexEntry& e) {
  TFileEntry f;
  std::uint32_t attributes = e.Key.Flags;
  if ((attributes & kNtfsFileNameDirectory) != 0) attributes = (attributes & ~kNtfsFileNameDirectory) | kAttrDirectory;
  f.Attributes = attributes;
  f.CreationTime = e.Key.CreationTime;
  f.LastAccessTime = e.Key.AccessTime;
  f.LastWriteTime = e.Key.WriteTime;
  f.Size = e.Key.RealSize;
  f.Name = e.Key.Name;
  f.ObjectId = static_cast<std::int64_t>(e.Record);
  f.ParentId = static_cast<std::int64_t>(e.Key.Parent);
  return f;
}

}  // namespace

// ------------------------------------------------------------ small types

std::int32_t TNtfs_File_Streams::IndexOf(std::uint32_t type) const {
  for (std::size_t i = 0; i < Entries.size(); ++i)
    if (Entries[i].Type == type) return static_cast<std::int32_t>(i);
  return -1;
}

std::int64_t TNtfsAttrDesc::CoveredBytes(std::uint32_t clusterSize) const {
  if (Runs.empty()) return 0;
  const TRunNode& last = Runs.back();
  return (last.Vcn + last.Length) * static_cast<std::int64_t>(clusterSize);
}

// ------------------------------------------------------------ the volume

TNTFS::TNTFS(TStorage* storage, bool listingMode) : FileSystem(storage), listingMode_(listingMode) {
  // The root directory is MFT record 5.
  rootEntry_.ObjectId = kNtfsRootRecord;
  rootEntry_.ParentId = kNtfsRootRecord;
  rootEntry_.Attributes = kAttrDirectory;
  rootEntry_.Name = "/";
  rootEntry_.Storage = storage;
  rootEntry_.Fs = this;
}

TNTFS::~TNTFS() {
  // Handles left open may own streams that close handles of this reader.
  files_.Clear();
}

bool TNTFS::ReadVolume(std::int64_t offset, void* out, std::size_t length) {
  if (storage_ == nullptr || offset < 0) {
    std::memset(out, 0, length);
    return false;
  }
  return ReadVolumeBytes(*storage_, static_cast<std::uint64_t>(offset), static_cast<std::uint8_t*>(out), length,
                         TVolumeReadRule::Lenient);
}

bool TNTFS::ReadRuns(const std::vector<TRunNode>& runs, std::int64_t offset, std::uint8_t* out, std::size_t length) {
  const std::int64_t cs = clusterSize_;
  if (cs <= 0 || offset < 0) {
    std::memset(out, 0, length);
    return false;
  }
  bool ok = true;
  while (length > 0) {
    const std::int64_t vcn = offset / cs;
    const TRunNode* run = FindRun(runs, vcn);
    std::size_t n = length;
    if (run == nullptr) {
      // No run maps this range (a missing extent): zeros up to the next run.
      const std::int64_t next = NextRunStart(runs, vcn);
      if (next >= 0) n = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(n), next * cs - offset));
      std::memset(out, 0, n);
      ok = false;
    } else {
      const std::int64_t runEnd = (run->Vcn + run->Length) * cs;
      n = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(n), runEnd - offset));
      if (run->Lcn >= 0) {
        if (!ReadVolume(run->Lcn * cs + (offset - run->Vcn * cs), out, n)) ok = false;
      } else {
        std::memset(out, 0, n);
        if (run->Lcn == kLcnOutside) ok = false;
      }
    }
    out += n;
    offset += static_cast<std::int64_t>(n);
    length -= n;
  }
  return ok;
}

bool TNTFS::ReadAttributeValue(const TNtfsAttrDesc& desc, std::vector<std::uint8_t>& out, std::size_t cap) {
  if (desc.Resident) {
    out.assign(desc.Value.begin(), desc.Value.begin() + static_cast<std::ptrdiff_t>(std::min(cap, desc.Value.size())));
    return true;
  }
  const std::int64_t size = EffectiveSize(desc, clusterSize_);
  if (size <= 0) {
    out.clear();
    return size == 0;
  }
  out.assign(static_cast<std::size_t>(std::min<std::int64_t>(size, static_cast<std::int64_t>(cap))), 0);
  const bool ok = ReadRuns(desc.Runs, 0, out.data(), out.size());
  const std::int64_t init = desc.InitializedSize;
  if (init >= 0 && init < static_cast<std::int64_t>(out.size()))
    std::fill(out.begin() + init, out.end(), std::uint8_t{0});
  return ok;
}

std::int64_t TNTFS::MftRecordCount() const {
  return boot_.RecordSize == 0 ? 0 : mftDataSize_ / boot_.RecordSize;
}

std::int64_t TNTFS::RecordOffset(std::int64_t number) const {
  if (number < 0 || clusterSize_ == 0 || number > INT64_MAX / 65536) return -1;
  const std::int64_t offset = number * boot_.RecordSize;
  const TRunNode* run = FindRun(mftRuns_, offset / clusterSize_);
  if (run == nullptr || run->Lcn < 0) return -1;
  return run->Lcn * clusterSize_ + offset - run->Vcn * clusterSize_;
}

bool TNTFS::ReadMftRecord(std::int64_t number, std::vector<std::uint8_t>& record, bool* torn) {
  const std::int64_t size = boot_.RecordSize;
  if (torn != nullptr) *torn = false;
  record.assign(static_cast<std::size_t>(size), 0);
  if (number < 0 || mftRuns_.empty() || number > (INT64_MAX / size) - 1) return false;
  const std::int64_t offset = number * size;
  if (mftDataSize_ > 0 && offset + size > mftDataSize_) return false;
  if (FindRun(mftRuns_, offset / clusterSize_) == nullptr) {
    LogText("Can'find record " + std::to_string(number));
    return false;
  }
  const bool ok = ReadRuns(mftRuns_, offset, record.data(), record.size());
  // A torn record is still parsed (its names list the file); its callers
  // decide what of it they trust.
  if (!ApplyFixup(record) && ok) {
    LogEvent(kSenderNtfs, kErrFixup, 0, "record " + std::to_string(number) + " is torn", 3);
    if (torn != nullptr) *torn = true;
  }
  return ok;
}

bool TNTFS::LoadRecord(std::int64_t number, TNtfs_File_Streams& s) {
  s = {};
  s.Number = number;
  if (!ReadMftRecord(number, s.Record, &s.Torn)) return false;
  if (!ParseRecordAttributes(s.Record, s.Info, s.Headers)) {
    char line[128];
    std::snprintf(line, sizeof line, "Parsing MFT Record. FileRecord.Magic_number<>FILE_REC_TYPE. Inode: %lld",
                  static_cast<long long>(number));
    LogText(line);
    return false;
  }
  for (std::size_t i = 0; i < s.Headers.size(); ++i) {
    const TNtfsAttrHeader& h = s.Headers[i];
    s.Entries.push_back({h.Name, h.Type, h.Id, h.Flags, number, false, !h.NonResident, h.StartVcn,
                         static_cast<std::int32_t>(i)});
  }
  for (const TNtfsAttrHeader& h : s.Headers) {
    if (h.Type != kNtfsAttrAttributeList) continue;
    TNtfsAttrDesc listDesc;
    DescFromHeader(s.Record, h, number, clusterCount_, listDesc);
    std::vector<std::uint8_t> list;
    ReadAttributeValue(listDesc, list, kMaxListBytes);
    std::vector<TNtfsListEntry> entries;
    ParseAttributeList(list, entries);
    for (const TNtfsListEntry& e : entries) {
      if (static_cast<std::int64_t>(e.Record) == number) continue;  // already there
      s.Entries.push_back({e.Name, e.Type, e.Id, 0, static_cast<std::int64_t>(e.Record), true, false, e.StartVcn, -1});
    }
    break;
  }
  return !s.Entries.empty();
}

bool TNTFS::CollectAttribute(const TNtfs_File_Streams& s, std::uint32_t type, std::string_view name, TNtfsAttrDesc& out) {
  out = {};
  struct Extension {
    std::vector<std::uint8_t> record;
    TNtfsRecordInfo info;
    std::vector<TNtfsAttrHeader> headers;
    bool ok = false;
  };
  std::map<std::int64_t, Extension> extensions;
  std::vector<TNtfsAttrDesc> extents;
  bool anyFailed = false;
  for (const TNtfs_File_Stream& e : s.Entries) {
    if (e.Type != type || !NameMatches(e.Name, name)) continue;
    TNtfsAttrDesc d;
    if (!e.FromList) {
      DescFromHeader(s.Record, s.Headers[static_cast<std::size_t>(e.HeaderIndex)], s.Number, clusterCount_, d);
      extents.push_back(std::move(d));
      continue;
    }
    auto it = extensions.find(e.MftNumber);
    if (it == extensions.end()) {
      if (extensions.size() >= kMaxExtensionRecords) {
        anyFailed = true;
        continue;
      }
      Extension x;
      // An extension record must name this record as its base; anything
      // else is a damaged list pointing at an unrelated record. A torn one
      // cannot be trusted.
      bool torn = false;
      x.ok = ReadMftRecord(e.MftNumber, x.record, &torn) && !torn && ParseRecordAttributes(x.record, x.info, x.headers) &&
             static_cast<std::int64_t>(x.info.BaseRecord) == s.Number;
      it = extensions.emplace(e.MftNumber, std::move(x)).first;
    }
    const Extension& x = it->second;
    const TNtfsAttrHeader* found = nullptr;
    if (x.ok) {
      for (const TNtfsAttrHeader& h : x.headers)
        if (h.Type == e.Type && h.Id == e.AttrId) {
          found = &h;
          break;
        }
      if (found == nullptr)
        for (const TNtfsAttrHeader& h : x.headers)
          if (h.Type == e.Type && h.Name == e.Name && h.StartVcn == e.StartVcn) {
            found = &h;
            break;
          }
    }
    if (found == nullptr) {
      anyFailed = true;
      LogText("Attr_Reset_One fail for attr: " + std::to_string(type) + " file at record: " + std::to_string(s.Number));
      continue;
    }
    DescFromHeader(x.record, *found, e.MftNumber, clusterCount_, d);
    extents.push_back(std::move(d));
  }
  out.ExtentFailed = anyFailed;
  if (extents.empty()) return false;
  for (TNtfsAttrDesc& d : extents)
    if (d.Resident) {
      out = std::move(d);
      out.Complete = !anyFailed;
      out.ExtentFailed = anyFailed;
      return true;
    }
  // Extents in VCN order; the one that starts at VCN 0 carries the sizes.
  std::stable_sort(extents.begin(), extents.end(), [](const TNtfsAttrDesc& a, const TNtfsAttrDesc& b) {
    const std::int64_t va = a.Runs.empty() ? INT64_MAX : a.Runs.front().Vcn;
    const std::int64_t vb = b.Runs.empty() ? INT64_MAX : b.Runs.front().Vcn;
    return va < vb;
  });
  const TNtfsAttrDesc* sizes = &extents.front();
  for (const TNtfsAttrDesc& d : extents)
    if (!d.Runs.empty() && d.Runs.front().Vcn == 0) {
      sizes = &d;
      break;
    }
  out.Type = sizes->Type;
  out.Flags = sizes->Flags;
  out.CompressionUnit = sizes->CompressionUnit;
  out.RecordNumber = sizes->RecordNumber;
  out.AllocatedSize = sizes->AllocatedSize;
  out.DataSize = sizes->DataSize;
  out.InitializedSize = sizes->InitializedSize;
  std::int64_t end = 0;
  for (const TNtfsAttrDesc& d : extents)
    for (const TRunNode& r : d.Runs) {
      if (r.Vcn < end) continue;  // overlapping extents: the first one wins
      out.Runs.push_back(r);
      end = r.Vcn + r.Length;
    }
  out.Complete = !anyFailed;
  return true;
}

bool TNTFS::BuildMft(std::int64_t recordByteOffset, std::vector<TRunNode>& runs, std::int64_t& dataSize) {
  runs.clear();
  dataSize = 0;
  TNtfs_File_Streams s;
  s.Number = 0;
  s.Record.assign(boot_.RecordSize, 0);
  if (!ReadVolume(recordByteOffset, s.Record.data(), s.Record.size())) return false;
  ApplyFixup(s.Record);
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

bool TNTFS::Open() {
  LogText("Build MFT");
  LogText("Loading Boot sector");
  if (storage_ == nullptr) return true;
  std::vector<std::uint8_t> sector(512);
  const bool read = ReadVolume(0, sector.data(), sector.size());
  // Until a boot sector says otherwise: 8 sectors a cluster.
  boot_.BytesPerSector = storage_->SectorSize > 0 ? static_cast<std::uint32_t>(storage_->SectorSize) : 512;
  SetClusterSize(8 * boot_.BytesPerSector);

  std::vector<TRunNode> primary, mirror;
  std::int64_t primarySize = 0, mirrorSize = 0;
  auto totalOf = [](const std::vector<TRunNode>& runs) {
    std::int64_t total = 0;
    for (const TRunNode& r : runs) total += r.Length;
    return total;
  };
  auto useBoot = [&](ByteSpan bytes) {
    TNtfsBoot boot;
    if (!BytesEqual(bytes, 3, "NTFS    ")) return false;
    if (!ParseNtfsBoot(bytes, boot)) LogText("Errors in boot record");
    boot_ = boot;
    SetClusterSize(boot_.ClusterSize);
    const std::int64_t limit = std::int64_t{1} << 40;
    if (boot_.MftLcn >= 0 && boot_.MftLcn < limit)
      BuildMft(boot_.MftLcn * boot_.ClusterSize, primary, primarySize);
    if (boot_.MirrLcn >= 0 && boot_.MirrLcn < limit)
      BuildMft(boot_.MirrLcn * boot_.ClusterSize, mirror, mirrorSize);
    return true;
  };
  if (read) useBoot(sector);
  if (primary.empty() && mirror.empty()) {
    LogText("Loading backup Boot sector");
    // The backup sits in the volume's last sector, whatever its size.
    const std::int64_t size = storage_->SectorCount * storage_->SectorSize;
    for (std::int64_t back : {512, 1024, 2048, 4096}) {
      if (size < back + 512) break;
      if (!ReadVolume(size - back, sector.data(), sector.size())) continue;
      if (useBoot(sector) && (!primary.empty() || !mirror.empty())) break;
    }
  }
  if (primary.empty() && mirror.empty()) {
    std::int64_t mftOffset = -1, mirrorOffset = -1;
    if (FindMftDirect(mftOffset, mirrorOffset) && mftOffset >= 0) BuildMft(mftOffset, primary, primarySize);
  }
  if (totalOf(mirror) > totalOf(primary)) {
    mftRuns_ = std::move(mirror);
    mftDataSize_ = mirrorSize;
  } else {
    mftRuns_ = std::move(primary);
    mftDataSize_ = primarySize;
  }
  if (mftRuns_.empty()) LogEvent(kSenderNtfs, kErrMftDamaged, 0, "", 3);
  return true;
}

void TNTFS::SetClusterSize(std::uint32_t clusterSize) {
  boot_.ClusterSize = clusterSize;
  clusterSize_ = clusterSize;
  const std::int64_t volumeBytes = storage_->Size > 0 ? storage_->Size : storage_->SectorCount * storage_->SectorSize;
  if (boot_.TotalSectors > 0 && boot_.TotalSectors < (std::int64_t{1} << 48))
    clusterCount_ = boot_.TotalSectors * boot_.BytesPerSector / clusterSize;
  else
    clusterCount_ = volumeBytes / clusterSize;
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
    size = Le32(here, 28);
    if (size < 512 || size > 65536 || !std::has_single_bit(size)) size = boot_.RecordSize;
    if (size > here.size()) return {};
    record.assign(here.begin(), here.begin() + size);
    ApplyFixup(record);
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

void TNTFS::LoadBitmap() {
  bitmap_.clear();
  TNtfs_File_Streams s;
  TNtfsAttrDesc d;
  if (!LoadRecord(6, s) || !CollectAttribute(s, kNtfsAttrData, "", d)) {
    LogEvent(kSenderNtfs, kErrBitmap, 0, "Error while retriving BitmapSize", 0);
    return;
  }
  const std::int64_t size = EffectiveSize(d, clusterSize_);
  LogEvent(kSenderNtfs, kErrNone, 0, "BitmapSize: " + std::to_string(size), 0);
  // One bit per cluster, rounded up to 8 bytes by the writers.
  const std::int64_t cap = (clusterCount_ + 7) / 8 + 8;
  if (!ReadAttributeValue(d, bitmap_, static_cast<std::size_t>(std::min<std::int64_t>(std::max<std::int64_t>(cap, 0), 512 << 20))))
    LogEvent(kSenderNtfs, kErrBitmap, 0, "BitmapSize: " + std::to_string(size), 1);
}

void TNTFS::Prepare() {
  LogText("Try to load Bitmap");
  LoadBitmap();
  LogText("Succes load Bitmap");
  LogText("Begin scan MFT");
  ReportProgress(100, "Done ...");
  ReportProgress(-1, "");
  LogText("End scan MFT");
}

bool TNTFS::IsSectorInUse(std::int64_t sector) {
  if (clusterSize_ == 0 || sector < 0 || storage_ == nullptr) return false;
  const std::int64_t cluster = sector * storage_->SectorSize / clusterSize_;
  const auto byte = static_cast<std::uint64_t>(cluster / 8);
  return byte < bitmap_.size() && ((bitmap_[byte] >> (cluster % 8)) & 1) != 0;
}

const std::vector<std::uint16_t>& TNTFS::UpCaseTable() {
  std::call_once(upCaseOnce_, [this] {
    constexpr std::int64_t kUpCaseRecord = 10;
    constexpr std::int64_t kUpCaseBytes = 0x10000 * 2;
    TFileEntry entry;
    entry.ObjectId = kUpCaseRecord;
    entry.Name = "$UpCase";
    FsHandle handle = OpenFile(entry);
    if (handle == kNoHandle) return;
    std::vector<std::uint8_t> bytes(kUpCaseBytes);
    std::int64_t done = 0;
    if (GetFileSize(handle) == kUpCaseBytes) {
      while (done < kUpCaseBytes) {
        const std::int32_t got = Read(handle, bytes.data() + done, static_cast<std::int32_t>(kUpCaseBytes - done));
        if (got <= 0) break;
        done += got;
      }
    }
    CloseFile(handle);
    if (done != kUpCaseBytes) {
      LogText("NTFS: $UpCase cannot be read; names compare by simple case folding");
      return;
    }
    std::vector<std::uint16_t> table(0x10000);
    for (std::size_t i = 0; i < table.size(); ++i) table[i] = Le16(bytes, 2 * i);
    upCase_ = std::move(table);
  });
  return upCase_;
}

bool TNTFS::NamesMatch(std::string_view stored, std::string_view typed) {
  const std::vector<std::uint16_t>& upCase = UpCaseTable();
  if (upCase.empty()) return FileSystem::NamesMatch(stored, typed);
  const std::u16string a = Utf8ToUtf16(stored);
  const std::u16string b = Utf8ToUtf16(typed);
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [&](char16_t x, char16_t y) { return upCase[x] == upCase[y]; });
}

bool TNTFS::GetFreeSpace(std::int64_t& bytes) {
  if (freeSpace_ < 0) {
    std::int64_t free = 0;
    const std::int64_t bits = std::min<std::int64_t>(clusterCount_, static_cast<std::int64_t>(bitmap_.size()) * 8);
    for (std::int64_t c = 0; c < bits; ++c)
      if (((bitmap_[static_cast<std::size_t>(c / 8)] >> (c % 8)) & 1) == 0) ++free;
    freeSpace_ = free * clusterSize_;
  }
  bytes = freeSpace_;
  return bytes != 0;
}

void TNTFS::SaveFreeSpace(const std::string& fileName) {
  std::ofstream file(fileName, std::ios::binary | std::ios::trunc);
  if (!file) return;
  std::vector<std::uint8_t> cluster(clusterSize_);
  std::int64_t saved = 0;
  const std::int64_t bits = std::min<std::int64_t>(clusterCount_, static_cast<std::int64_t>(bitmap_.size()) * 8);
  for (std::int64_t c = 0; c < bits; ++c) {
    if (((bitmap_[static_cast<std::size_t>(c / 8)] >> (c % 8)) & 1) != 0) continue;
    ReadVolume(c * clusterSize_, cluster.data(), cluster.size());
    file.write(reinterpret_cast<const char*>(cluster.data()), static_cast<std::streamsize>(cluster.size()));
    ++saved;
  }
  LogText("Total free " + std::to_string(saved) + " clusters");
}

// ------------------------------------------------------------ file data

FsHandle TNTFS::MakeHandle(TNtfsAttrDesc desc, std::int64_t mftNumber, bool raw) {
  auto h = std::make_unique<TNtfsFileHandle>();
  h->Size = EffectiveSize(desc, clusterSize_);
  if (raw && !desc.Resident && desc.Type == kNtfsAttrData) h->Size = RawStreamSize(h->Size);
  h->MftNumber = mftNumber;
  h->Damage = DescDamage(desc, clusterSize_);
  if ((desc.Flags & kNtfsFlagEncrypted) != 0 && !raw) LogEvent(kSenderNtfs, kErrDataEncrypted, 0, "", 1);
  h->Desc = std::move(desc);
  return files_.Add(std::move(h));
}

std::int64_t TNTFS::RawStreamSize(std::int64_t size) const {
  const std::int64_t s = storage_ != nullptr && storage_->SectorSize > 0 ? storage_->SectorSize : 512;
  if (size <= 0 || size > INT64_MAX - s) return std::max<std::int64_t>(size, 0);
  return (size + s - 1) / s * s;
}

std::unique_ptr<TEncryptedFileRaw> TNTFS::OpenEncryptedRaw(const TFileEntry& entry) {
  TDirListEx list;
  if (!ListStreams(entry, list)) return nullptr;
  // The streams are opened raw on a private copy of the entry, so that
  // their opening does not come back here. This reader serves them itself;
  // without a storage in the entry their streams leave the storage's read
  // window to whoever opened the file.
  TFileEntry raw = entry;
  raw.Fs = this;
  raw.Storage = nullptr;
  TAdsStreams streams;
  std::unique_ptr<TStream> efs;
  for (std::int32_t i = 0; i < list.Count(); ++i) {
    const TFileEntry& item = *list.Items(i);
    if (item.ParentId == kNtfsAttrData) {
      if (streams.size() >= kEfsMaxStreams || item.Size > kEfsMaxStreamSize) return nullptr;
      streams.push_back({item.Name, item.Size,
                         std::make_unique<TBlockFileStreamStorage>(raw, kNtfsAttrData, item.Name, -1, true, true)});
    } else if (item.ParentId == kNtfsAttrLoggedUtility && item.Name == "$EFS" && !efs) {
      efs = std::make_unique<TBlockFileStreamStorage>(raw, kNtfsAttrLoggedUtility, item.Name, -1, true);
    }
  }
  if (!efs) return nullptr;
  return std::make_unique<TEncryptedFileRaw>(std::move(efs), std::move(streams));
}

std::int64_t TNTFS::EncryptedRawSize(const TFileEntry& entry) {
  TDirListEx list;
  if (!ListStreams(entry, list)) return -1;
  std::int64_t efsSize = -1;
  std::int64_t parts = 0;
  std::size_t count = 0;
  for (std::int32_t i = 0; i < list.Count(); ++i) {
    const TFileEntry& item = *list.Items(i);
    if (item.ParentId == kNtfsAttrData) {
      if (++count > kEfsMaxStreams || item.Size > kEfsMaxStreamSize) return -1;
      parts += EfsStreamPartLength(item.Name, RawStreamSize(item.Size));
    } else if (item.ParentId == kNtfsAttrLoggedUtility && item.Name == "$EFS" && efsSize < 0) {
      efsSize = item.Size;
    }
  }
  return efsSize < 0 ? -1 : EfsHeaderLength(efsSize) + parts;
}

FsHandle TNTFS::OpenFile(const TFileEntry& entry) {
  return OpenStream(entry, TStreamId{});
}

FsHandle TNTFS::OpenStream(const TFileEntry& entry, const TStreamId& stream) {
  std::uint32_t type = stream.AttributeType;
  const int index = stream.AttributeIndex;
  const std::string_view name = stream.Name;
  try {
    if (index < 0 && (type == 0 || static_cast<std::int32_t>(type) < 0)) type = kNtfsAttrData;
    const std::int64_t record = entry.ObjectId == 0 && entry.Name.empty() ? kNtfsRootRecord : entry.ObjectId;
    const bool raw = (entry.Attributes & kAttrOpenRaw) != 0;
    if (index < 0 && type == kNtfsAttrData && name.empty() && (entry.Attributes & kAttrEncrypted) != 0 && !raw) {
      // Without the key the contents are served as the raw export; a file
      // without $EFS metadata falls through to its bytes as they are.
      if (auto efs = OpenEncryptedRaw(entry)) {
        auto h = std::make_unique<TNtfsFileHandle>();
        h->MftNumber = record;
        h->Size = efs->GetSize();
        h->Efs = std::move(efs);
        return files_.Add(std::move(h));
      }
    }
    TNtfs_File_Streams s;
    if (!LoadRecord(record, s)) return kNoHandle;
    if (s.Torn) {
      // None of a torn record's runs are trusted: every byte of the size
      // the folder's index gives fails to read.
      const std::int64_t volumeBytes = clusterCount_ * clusterSize_;
      const std::int64_t size = std::clamp<std::int64_t>(entry.Size, 0, volumeBytes);
      TNtfsAttrDesc torn;
      torn.Type = type;
      torn.DataSize = torn.InitializedSize = torn.AllocatedSize = size;
      if (size > 0) torn.Runs.push_back(TRunNode{0, (size + clusterSize_ - 1) / clusterSize_, kLcnOutside});
      const FsHandle handle = MakeHandle(std::move(torn), record, false);
      if (TNtfsFileHandle* h = files_.Get(handle)) h->Damage = TDamage::TornRecord;
      return handle;
    }
    TNtfsAttrDesc d;
    if (index >= 0) {
      if (static_cast<std::size_t>(index) >= s.Entries.size()) return kNoHandle;
      const TNtfs_File_Stream& e = s.Entries[static_cast<std::size_t>(index)];
      if (!CollectAttribute(s, e.Type, e.Name, d)) return kNoHandle;
    } else if (!CollectAttribute(s, type, name, d)) {
      return kNoHandle;
    }
    return MakeHandle(std::move(d), record, raw);
  } catch (const std::exception& e) {
    LogText(std::string("ResetFileADS ") + e.what());
    return kNoHandle;
  }
}

bool TNTFS::ReadCompressed(TNtfsFileHandle& h, std::int64_t position, std::uint8_t* out, std::size_t length) {
  const std::int64_t cs = clusterSize_;
  const std::int64_t unitClusters = std::int64_t{1} << h.Desc.CompressionUnit;
  const std::int64_t unitBytes = unitClusters * cs;
  if (!h.Unpack) h.Unpack = std::make_unique<TNTFS_Unpack>(clusterSize_, static_cast<std::uint32_t>(unitBytes));
  bool ok = true;
  while (length > 0) {
    const std::int64_t unit = position / unitBytes;
    if (h.UnitIndex != unit) {
      h.Unit.assign(static_cast<std::size_t>(unitBytes), 0);
      h.Packed.clear();
      const std::int64_t first = unit * unitClusters;
      std::int64_t allocated = 0;
      bool unitRead = true;
      for (std::int64_t vcn = first; vcn < first + unitClusters;) {
        const TRunNode* run = FindRun(h.Desc.Runs, vcn);
        if (run == nullptr) {
          const std::int64_t next = NextRunStart(h.Desc.Runs, vcn);
          vcn = next < 0 ? first + unitClusters : std::min(next, first + unitClusters);
          continue;
        }
        const std::int64_t n = std::min(run->Vcn + run->Length, first + unitClusters) - vcn;
        if (run->Lcn >= 0) {
          // Allocated clusters of a unit come first; they hold its packed form.
          const std::size_t at = h.Packed.size();
          h.Packed.resize(at + static_cast<std::size_t>(n * cs));
          if (!ReadVolume((run->Lcn + (vcn - run->Vcn)) * cs, h.Packed.data() + at, static_cast<std::size_t>(n * cs)))
            unitRead = false;
          allocated += n;
        } else if (run->Lcn == kLcnOutside) {
          unitRead = false;
        }
        vcn += n;
      }
      if (allocated == unitClusters) {
        h.Unit = h.Packed;
      } else if (allocated > 0) {
        h.Unpack->DecompressUnit(h.Packed, h.Unit);
      }
      // A unit that could not be read is not kept: the next read tries again
      // and fails again.
      h.UnitIndex = unitRead ? unit : -1;
      if (!unitRead) ok = false;
    }
    const std::int64_t offset = position - unit * unitBytes;
    const std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(length), unitBytes - offset));
    std::memcpy(out, h.Unit.data() + offset, n);
    out += n;
    position += static_cast<std::int64_t>(n);
    length -= n;
  }
  return ok;
}

TDamage TNTFS::ReadDamage(FsHandle handle) {
  const TNtfsFileHandle* h = IsInvalidHandle(handle) ? nullptr : files_.Get(handle);
  return h != nullptr ? h->Damage : TDamage::None;
}

std::int32_t TNTFS::Read(FsHandle handle, void* buffer, std::int32_t count) {
  TNtfsFileHandle* h = files_.Get(handle);
  if (h == nullptr || count <= 0 || clusterSize_ == 0) return 0;
  if (h->Efs) return static_cast<std::int32_t>(h->Efs->Read(buffer, count));
  if (h->Position < 0 || h->Position >= h->Size) return 0;
  auto* out = static_cast<std::uint8_t*>(buffer);
  const std::int64_t position = h->Position;
  auto n = static_cast<std::size_t>(std::min<std::int64_t>(count, h->Size - position));
  const TNtfsAttrDesc& d = h->Desc;
  if (d.Resident) {
    std::memcpy(out, d.Value.data() + position, n);
  } else {
    const bool compressed = (d.Flags & kNtfsFlagCompressed) != 0 && d.CompressionUnit > 0 && d.CompressionUnit <= 8;
    auto readPiece = [&](std::int64_t at, std::uint8_t* to, std::size_t length) {
      return compressed ? ReadCompressed(*h, at, to, length) : ReadRuns(d.Runs, at, to, length);
    };
    // Past the initialized size the clusters hold stale bytes: zeros. A raw
    // handle's bytes past the data size are the sector's own.
    const std::int64_t init = d.InitializedSize >= 0 && d.InitializedSize < d.DataSize ? d.InitializedSize : INT64_MAX;
    if (!readPiece(position, out, n) && position < init) {
      // Unreadable clusters (runs outside the volume, missing runs, failed
      // sectors) are not data: the answer is the bytes before the first of
      // them, or -1 when it is at the position itself.
      const std::int64_t cs = clusterSize_;
      std::size_t good = 0;
      while (good < n) {
        const std::int64_t at = position + static_cast<std::int64_t>(good);
        if (at >= init) {
          good = n;
          break;
        }
        const std::size_t piece = std::min<std::size_t>(n - good, static_cast<std::size_t>(cs - at % cs));
        if (!readPiece(at, out + good, piece)) break;
        good += piece;
      }
      if (good == 0) {
        LogEvent(kSenderNtfs, kErrRead, 0,
                 "record " + std::to_string(h->MftNumber) + ": data at byte " + std::to_string(position) +
                     " cannot be read",
                 3);
        return -1;
      }
      n = good;
    }
    if (position + static_cast<std::int64_t>(n) > init) {
      const std::int64_t from = std::max(position, init);
      std::memset(out + (from - position), 0, static_cast<std::size_t>(position + static_cast<std::int64_t>(n) - from));
    }
  }
  h->Position = position + static_cast<std::int64_t>(n);
  return static_cast<std::int32_t>(n);
}

bool TNTFS::CloseFile(FsHandle& handle) {
  if (handle == kNoHandle) return false;
  const bool removed = files_.Remove(handle);
  handle = 0;
  return removed;
}

std::int64_t TNTFS::Seek(FsHandle handle, int origin, std::int64_t offset) {
  if (IsInvalidHandle(handle)) return 0;
  TNtfsFileHandle* h = files_.Get(handle);
  if (h == nullptr) return 0;
  if (h->Efs) return h->Efs->Seek64(offset, origin);
  std::int64_t position = h->Position;
  if (origin == kSeekBegin) position = offset;
  else if (origin == kSeekCurrent) position += offset;
  else if (origin == kSeekEnd) position = h->Size - offset;
  h->Position = std::max<std::int64_t>(position, 0);
  return h->Position;
}

bool TNTFS::IsEof(FsHandle handle) {
  TNtfsFileHandle* h = files_.Get(handle);
  if (h == nullptr) return false;
  return h->Efs ? h->Efs->Position() >= h->Efs->GetSize() : h->Position >= h->Size;
}

std::int64_t TNTFS::GetFileSize(FsHandle handle) {
  if (IsInvalidHandle(handle)) return -1;
  TNtfsFileHandle* h = files_.Get(handle);
  if (h == nullptr) return -1;
  return h->Efs ? h->Efs->GetSize() : h->Size;
}

std::int32_t TNTFS::GetTransferSize(FsHandle handle) {
  if (clusterSize_ == 0) return 0;
  TNtfsFileHandle* h = files_.Get(handle);
  std::int64_t size = std::int64_t{clusterSize_} << (h != nullptr ? std::min<int>(h->Desc.CompressionUnit, 8) : 0);
  while (size < 524288) size *= 2;
  return static_cast<std::int32_t>(size);
}

bool TNTFS::ListStreams(const TFileEntry& entry, TDirListEx& list) {
  list.Clear();
  try {
    TNtfs_File_Streams s;
    if (!LoadRecord(entry.ObjectId, s)) return false;
    std::vector<std::pair<std::uint32_t, std::string>> seen;
    for (std::size_t i = 0; i < s.Entries.size(); ++i) {
      const TNtfs_File_Stream& e = s.Entries[i];
      const bool stream = e.Type == kNtfsAttrData || e.Type == kNtfsAttrLoggedUtility;
      if (stream) {
        const std::pair<std::uint32_t, std::string> key{e.Type, e.Name};
        if (std::find(seen.begin(), seen.end(), key) != seen.end()) continue;
        seen.push_back(key);
      }
      TNtfsAttrDesc d;
      TFileEntry item;
      item.Name = e.Name;
      item.ParentId = e.Type;
      item.ObjectId = entry.ObjectId;
      item.Attributes = e.Flags;
      item.Mark = (e.Type == kNtfsAttrData ? e.Name.empty() : e.Type != kNtfsAttrLoggedUtility && e.Type != kNtfsAttrReparsePoint) ? 1 : 0;
      if (CollectAttribute(s, e.Type, stream ? std::string_view(e.Name) : std::string_view(e.Name), d))
        item.Size = EffectiveSize(d, clusterSize_);
      item.Fs = this;
      item.Storage = storage_;
      list.Add(item);
    }
    return list.Count() > 0;
  } catch (...) {
    return false;
  }
}

std::int64_t TNTFS::GetDataStartSector(const TFileEntry& entry) {
  if (storage_ == nullptr || storage_->SectorSize <= 0) return 0;
  TNtfs_File_Streams s;
  TNtfsAttrDesc d;
  if (!LoadRecord(entry.ObjectId, s) || !CollectAttribute(s, kNtfsAttrData, "", d)) return 0;
  for (const TRunNode& r : d.Runs)
    if (r.Lcn >= 0) return r.Lcn * clusterSize_ / storage_->SectorSize;
  // Resident data: the sector of its record.
  const std::int64_t offset = entry.ObjectId * boot_.RecordSize;
  const TRunNode* run = FindRun(mftRuns_, offset / clusterSize_);
  if (run == nullptr || run->Lcn < 0) return 0;
  return (run->Lcn * clusterSize_ + offset - run->Vcn * clusterSize_) / storage_->SectorSize;
}

std::string TNTFS::GetSectorList(const TFileEntry& entry) {
  if (storage_ == nullptr || storage_->SectorSize <= 0) return {};
  TNtfs_File_Streams s;
  TNtfsAttrDesc d;
  if (!LoadRecord(entry.ObjectId, s) || !CollectAttribute(s, kNtfsAttrData, "", d)) return {};
  if (d.Resident) return std::to_string(GetDataStartSector(entry));
  std::string text;
  constexpr std::int64_t kMaxListed = 1 << 20;
  std::int64_t listed = 0;
  const std::int64_t perCluster = clusterSize_ / storage_->SectorSize;
  for (const TRunNode& r : d.Runs) {
    if (r.Lcn < 0) continue;
    const std::int64_t first = r.Lcn * perCluster;
    for (std::int64_t k = 0; k < r.Length * perCluster && listed < kMaxListed; ++k, ++listed)
      text += std::to_string(first + k) + ",";
  }
  return text;
}

// ------------------------------------------------------------ directories

std::shared_ptr<const std::vector<TFileEntry>> TNTFS::ListDirectory(std::int64_t record) {
  {
    std::lock_guard lock(cacheMutex_);
    const auto it = dirCache_.find(record);
    if (it != dirCache_.end()) return it->second;
  }
  auto list = std::make_shared<std::vector<TFileEntry>>();
  std::vector<TNtfsIndexEntry> raw;
  TNtfs_File_Streams s;
  TNtfsAttrDesc root;
  TDamage damage = TDamage::None;
  const auto met = [&damage](TDamage why) {
    if (damage == TDamage::None) damage = why;
  };
  const bool loaded = record >= 0 && LoadRecord(record, s);
  if (!loaded) met(TDamage::FolderUnreadable);
  if (s.Torn) {
    // The folder's own record: its index root is not trusted.
    met(TDamage::TornRecord);
  } else if (loaded && CollectAttribute(s, kNtfsAttrIndexRoot, "$I30", root) && root.Resident) {
    ByteSpan area;
    bool large = false;
    if (!IndexRootEntries(root.Value, area, large)) {
      LogText("Non _FILE_NAME Indexes");
    } else {
      ParseIndexEntries(area, raw);
    }
    TNtfsAttrDesc alloc;
    if (large && CollectAttribute(s, kNtfsAttrIndexAllocation, "$I30", alloc) && !alloc.Resident) {
      // Blocks the index bitmap marks free hold stale entries: skipped.
      TNtfsAttrDesc bitmapDesc;
      std::vector<std::uint8_t> bits;
      const bool haveBits = CollectAttribute(s, kNtfsAttrBitmap, "$I30", bitmapDesc) &&
                            ReadAttributeValue(bitmapDesc, bits, kMaxListBytes);
      const std::int64_t blockSize = boot_.IndexBlockSize;
      const std::int64_t volumeBytes = clusterCount_ * clusterSize_;
      const std::int64_t size = std::min({EffectiveSize(alloc, clusterSize_), volumeBytes});
      std::vector<std::uint8_t> block(static_cast<std::size_t>(blockSize));
      for (std::int64_t i = 0; i < size / blockSize; ++i) {
        if (haveBits && (static_cast<std::uint64_t>(i / 8) >= bits.size() || ((bits[static_cast<std::size_t>(i / 8)] >> (i % 8)) & 1) == 0))
          continue;
        const std::int64_t vcn = i * blockSize / clusterSize_;
        const TRunNode* run = FindRun(alloc.Runs, vcn);
        if (run != nullptr && run->Lcn == kLcnOutside) met(TDamage::RunOutsideVolume);
        if (run == nullptr || run->Lcn < 0) continue;
        if (!ReadRuns(alloc.Runs, i * blockSize, block.data(), block.size())) met(TDamage::Unreadable);
        if (!BytesEqual(block, 0, "INDX")) {
          // A block the bitmap marks in use holds entries.
          if (haveBits) met(TDamage::FolderUnreadable);
          continue;
        }
        // A torn block's entries may be half old, half new: left out.
        if (!ApplyFixup(block)) {
          met(TDamage::TornRecord);
          continue;
        }
        if (IndexBlockEntries(block, area)) ParseIndexEntries(area, raw);
      }
    }
  }
  const std::int64_t volumeSize = storage_ != nullptr ? storage_->Size : 0;
  for (const TNtfsIndexEntry& e : raw) {
    if (e.Key.Namespace == kNtfsNamespaceDos) continue;
    // The root indexes itself as "."; listing it would make every walk loop.
    if (static_cast<std::int64_t>(e.Record) == record) continue;
    TFileEntry f = EntryFromIndex(e);
    if (f.IsDirectory() && f.Size != 0) continue;
    const bool mayPassVolume = !f.IsDirectory() && RefreshFromRecord(f);
    // A size past the volume marks a garbage entry, unless the file's own
    // record holds sparse or compressed data, which can be that large.
    if (f.Size < 0 || (volumeSize > 0 && f.Size >= volumeSize && !mayPassVolume)) continue;
    ClassifyLink(f);
    f.Storage = storage_;
    f.Fs = this;
    list->push_back(std::move(f));
  }
  std::lock_guard lock(cacheMutex_);
  if (cachedEntries_ + list->size() > kMaxCachedEntries) {
    dirCache_.clear();
    dirDamage_.clear();
    cachedEntries_ = 0;
  }
  cachedEntries_ += list->size();
  dirCache_[record] = list;
  if (damage != TDamage::None) dirDamage_[record] = damage;
  return list;
}

TDamage TNTFS::FindDamage(const TFileEntry& directory, FsHandle handle) {
  const std::int64_t record = directory.ObjectId == 0 ? kNtfsRootRecord : directory.ObjectId;
  std::lock_guard lock(cacheMutex_);
  const auto it = dirDamage_.find(record);
  return it != dirDamage_.end() ? it->second : FileSystem::FindDamage(directory, handle);
}

TNTFS::LinkKind TNTFS::ReadLinkText(const TFileEntry& entry, std::string& target, TSpecialInfo* special) {
  target.clear();
  TSpecialInfo ignored;
  TSpecialInfo& info = special != nullptr ? *special : ignored;
  info = TSpecialInfo{};
  const bool reparse = (entry.Attributes & kAttrReparsePoint) != 0;
  // ntfs-3g's Interix links and special files are small system files past
  // the metafiles; anything else is not read.
  const std::int64_t longestLink = static_cast<std::int64_t>(kNtfsInterixLinkMagic.size()) + 2 * kMaxLinkTarget;
  const bool interix = !reparse && (entry.Attributes & kAttrSystem) != 0 && !entry.IsDirectory() &&
                       entry.ObjectId >= kNtfsFirstUserRecord && entry.Size >= 0 && entry.Size <= longestLink;
  if (!reparse && !interix) return LinkKind::None;
  try {
    TNtfs_File_Streams s;
    TNtfsAttrDesc d;
    if (!LoadRecord(entry.ObjectId, s) || !CollectAttribute(s, reparse ? kNtfsAttrReparsePoint : kNtfsAttrData, "", d))
      return LinkKind::None;
    std::vector<std::uint8_t> data;
    const std::int64_t cap = reparse ? kMaxReparseBytes : longestLink;
    if (EffectiveSize(d, clusterSize_) > cap || !ReadAttributeValue(d, data, static_cast<std::size_t>(cap)))
      return LinkKind::None;
    if (!reparse) {
      if (ParseInterixLink(data, target)) return LinkKind::Symlink;
      return ParseInterixSpecial(data, info) != TSpecialKind::Unknown ? LinkKind::Special : LinkKind::None;
    }
    if (ParseSymlinkTarget(data, target) || ParseLxSymlink(data, target)) return LinkKind::Symlink;
    if (data.size() < 4) return LinkKind::None;
    if (Le32(data, 0) == kNtfsReparseMountPoint) return LinkKind::Junction;
    info.Kind = entry.IsDirectory() ? TSpecialKind::Unknown : LxSpecialKind(Le32(data, 0));
    if (info.Kind == TSpecialKind::Unknown) return LinkKind::None;
    if (info.Kind == TSpecialKind::CharDevice || info.Kind == TSpecialKind::BlockDevice) {
      // The device numbers: two 32-bit values in the extended attribute.
      TNtfsAttrDesc ea;
      std::vector<std::uint8_t> eaBytes;
      ByteSpan dev;
      if (CollectAttribute(s, kNtfsAttrEa, kNtfsAnyStream, ea) && EffectiveSize(ea, clusterSize_) <= kMaxReparseBytes &&
          ReadAttributeValue(ea, eaBytes, kMaxReparseBytes) && FindEaValue(eaBytes, "$LXDEV", dev) && dev.size() >= 8) {
        info.Major = Le32(dev, 0);
        info.Minor = Le32(dev, 4);
      }
    }
    return LinkKind::Special;
  } catch (...) {
    target.clear();
    info = TSpecialInfo{};
  }
  return LinkKind::None;
}

void TNTFS::ClassifyLink(TFileEntry& f) {
  std::string target;
  switch (ReadLinkText(f, target, nullptr)) {
    case LinkKind::Symlink:
      // A link to a folder is a link too: it is not entered.
      f.Attributes = (f.Attributes & ~kAttrDirectory) | kAttrSymlink;
      f.Size = static_cast<std::int64_t>(target.size());
      break;
    case LinkKind::Junction:
      if (f.IsDirectory()) f.Attributes |= kAttrJunction;
      break;
    case LinkKind::Special: f.Attributes |= kAttrSpecial; break;
    case LinkKind::None: break;
  }
}

bool TNTFS::ReadLinkTarget(const TFileEntry& entry, std::string& target) {
  if ((entry.Attributes & kAttrSymlink) == 0) return false;
  TFileEntry probe = entry;
  // Listed entries carry the target's length as their size, not the data's:
  // the data's own size is checked when it is read.
  probe.Attributes &= ~kAttrDirectory;
  probe.Size = 0;
  return ReadLinkText(probe, target, nullptr) == LinkKind::Symlink && target.size() <= static_cast<std::size_t>(kMaxLinkTarget);
}

bool TNTFS::ReadSpecialInfo(const TFileEntry& entry, TSpecialInfo& info) {
  info = TSpecialInfo{};
  std::string target;
  return (entry.Attributes & kAttrSpecial) != 0 && ReadLinkText(entry, target, &info) == LinkKind::Special;
}

bool TNTFS::RefreshFromRecord(TFileEntry& f) {
  // The index holds a copy of size and times that writers update lazily
  // (one hard link's entry, a file still open); the record has the truth,
  // and the size must be the one a read of the file delivers.
  std::vector<std::uint8_t> record;
  TNtfsRecordInfo info;
  std::vector<TNtfsAttrHeader> headers;
  bool torn = false;
  if (!ReadMftRecord(f.ObjectId, record, &torn) || !ParseRecordAttributes(record, info, headers)) return false;
  if (!info.InUse || info.BaseRecord != 0) return false;  // a stale entry: keep what the index says
  if (torn) {
    // Its sizes and runs cannot be trusted: the index's copy stands.
    f.MarkDamaged(TDamage::TornRecord);
    return false;
  }
  bool hasList = false;
  bool sized = false;
  std::uint16_t dataFlags = 0;
  for (const TNtfsAttrHeader& h : headers) {
    if (h.Type == kNtfsAttrStandardInfo && !h.NonResident && h.ValueLength >= 32) {
      const ByteSpan v = ByteSpan(record).subspan(h.ValueOffset, h.ValueLength);
      f.CreationTime = Le64(v, 0);
      f.LastWriteTime = Le64(v, 8);
      f.LastAccessTime = Le64(v, 24);
      f.Attributes |= Le32(v, 32) & kAttrEncrypted;
    } else if (h.Type == kNtfsAttrAttributeList) {
      hasList = true;
    } else if (h.Type == kNtfsAttrData && h.Name.empty() && !sized && (!h.NonResident || h.StartVcn == 0)) {
      TNtfsAttrDesc d;
      DescFromHeader(record, h, f.ObjectId, clusterCount_, d);
      f.Size = EffectiveSize(d, clusterSize_);
      if (const TDamage damage = DescDamage(d, clusterSize_); damage != TDamage::None) f.MarkDamaged(damage);
      dataFlags = d.Flags;
      sized = true;
    }
  }
  if (hasList) {
    // Extents elsewhere: the size needs every one of them.
    TNtfs_File_Streams s;
    TNtfsAttrDesc d;
    if (LoadRecord(f.ObjectId, s) && CollectAttribute(s, kNtfsAttrData, "", d)) {
      f.Size = EffectiveSize(d, clusterSize_);
      f.Attributes &= ~kAttrDamaged;
      f.Damage = TDamage::None;
      if (const TDamage damage = DescDamage(d, clusterSize_); damage != TDamage::None) f.MarkDamaged(damage);
      dataFlags = d.Flags;
    }
  }
  if ((f.Attributes & kAttrEncrypted) != 0) {
    const std::int64_t exported = EncryptedRawSize(f);
    if (exported >= 0) f.Size = exported;
  }
  return (dataFlags & (kNtfsFlagSparse | kNtfsFlagCompressed)) != 0;
}

std::int64_t TNTFS::ResolvePath(std::string_view path, TFileEntry& out) {
  int hops = kMaxLinkHops;
  return ResolvePath(path, out, hops);
}

std::int64_t TNTFS::ResolvePath(std::string_view path, TFileEntry& out, int& hops) {
  out = rootEntry_;
  std::vector<std::string_view> components;
  bool absolute = false;
  bool found = SplitPath(path, components, absolute);
  std::int64_t record = kNtfsRootRecord;
  for (std::size_t i = 0; found && i < components.size(); ++i) {
    const auto list = ListDirectory(record);
    found = false;
    for (const TFileEntry& e : *list)
      if (EqualNoCase(e.Name, components[i])) {
        out = e;
        record = MayBeJunction(e) ? FollowLink(e, hops) : e.ObjectId;
        found = true;
        break;
      }
  }
  if (!found) {
    out.Clear();
    LogEvent(kSenderNtfs, kErrNtfsNotFound, 0, path, 3);
    return -1;
  }
  return record;
}

void TNTFS::HandOut(TFileEntry& entry) {
  entry.Fs = this;
  entry.Storage = storage_;
}

FsHandle TNTFS::MakeFindHandle(std::shared_ptr<const std::vector<TFileEntry>> list, TFileEntry& out) {
  out.Clear();
  if (!list || list->empty()) return kNoHandle;
  out = list->front();
  HandOut(out);
  auto h = std::make_unique<TNtfsFindHandle>();
  h->List = std::move(list);
  h->Next = 1;
  return finds_.Add(std::move(h));
}

FsHandle TNTFS::FindFirstByPath(std::string_view directoryPath, TFileEntry& out) {
  TFileEntry directory;
  const std::int64_t record = ResolvePath(directoryPath, directory);
  if (record < 0) {
    out.Clear();
    return kNoHandle;
  }
  return MakeFindHandle(ListDirectory(record), out);
}

FsHandle TNTFS::FindFirst(const TFileEntry& directory, TFileEntry& out) {
  const std::int64_t record = directory.ObjectId == 0 ? kNtfsRootRecord : directory.ObjectId;
  if (MayBeJunction(directory)) {
    // The target's listing; the junction's own one when the target is
    // missing or empty.
    int hops = kMaxLinkHops;
    const std::int64_t target = FollowLink(directory, hops);
    if (target != directory.ObjectId) {
      const FsHandle handle = MakeFindHandle(ListDirectory(target), out);
      if (handle != kNoHandle) return handle;
    }
  }
  return MakeFindHandle(ListDirectory(record), out);
}

std::int64_t TNTFS::FollowLink(const TFileEntry& link, int& hops) {
  // Junctions that lead to each other end here, like any chain too long.
  if (hops <= 0) return link.ObjectId;
  --hops;
  const std::string target = CachedLinkTarget(link);
  if (target.empty()) return link.ObjectId;
  TFileEntry reached;
  const std::int64_t record = ResolvePath(target, reached, hops);
  return record >= 0 && (record == kNtfsRootRecord || reached.IsDirectory()) ? record : link.ObjectId;
}

std::string TNTFS::CachedLinkTarget(const TFileEntry& link) {
  {
    std::lock_guard lock(cacheMutex_);
    const auto it = linkCache_.find(link.ObjectId);
    if (it != linkCache_.end()) return it->second;
  }
  std::string target = ResolveLinkTarget(link);
  std::lock_guard lock(cacheMutex_);
  if (linkCache_.size() < kMaxCachedLinks) linkCache_.emplace(link.ObjectId, target);
  return target;
}

std::string TNTFS::ResolveLinkTarget(const TFileEntry& entry) {
  try {
    TNtfs_File_Streams s;
    TNtfsAttrDesc d;
    if (!LoadRecord(entry.ObjectId, s) || !CollectAttribute(s, kNtfsAttrReparsePoint, "", d)) return {};
    if (EffectiveSize(d, clusterSize_) >= kMaxReparseBytes) return {};
    std::vector<std::uint8_t> data;
    ReadAttributeValue(d, data, kMaxReparseBytes);
    // Only mount points: a symbolic link's buffer is laid out differently
    // and may be relative.
    std::string text;
    if (!ParseMountPointTarget(data, text)) return {};
    if (text.size() <= 4 || text.compare(0, 4, "\\??\\") != 0) return {};
    text.erase(0, 4);
    LogText("Link: " + text);
    // "C:\rest" names this volume's "\rest"; a volume name ("Volume{...}\")
    // is longer and stays, so that its lookup fails.
    const std::size_t slash = text.find('\\');
    if (slash != std::string::npos) {
      const std::size_t at = CharactersBefore(text, slash);
      if (at >= 2 && at <= 15) text.erase(0, slash);
    }
    LogText("Local_Link: " + text);
    std::replace(text.begin(), text.end(), '\\', kPathDelimiter);
    const std::string path = LinkCheckPath(entry);
    LogText("iFileName: " + path);
    // A junction to its own folder or to one above it would list itself.
    if (PathWithin(path, text)) return {};
    return text;
  } catch (...) {
    return {};
  }
}

bool TNTFS::FindNext(FsHandle handle, TFileEntry& out) {
  if (handle == kNoHandle) return false;
  TNtfsFindHandle* h = finds_.Get(handle);
  if (h == nullptr || h->Next >= h->List->size()) return false;
  out = (*h->List)[h->Next++];
  HandOut(out);
  return true;
}

void TNTFS::FindClose(FsHandle handle) {
  if (handle != kNoHandle) finds_.Remove(handle);
}

// ------------------------------------------------------------ volume label

std::string ReadVolumeLabel(TStorage& volume) {
  std::vector<std::uint8_t> sector(512);
  if (!ReadVolumeBytes(volume, 0, sector.data(), sector.size(), TVolumeReadRule::Lenient)) return {};
  TNtfsBoot boot;
  if (!BytesEqual(sector, 3, "NTFS    ")) return {};
  ParseNtfsBoot(sector, boot);
  for (std::int64_t lcn : {boot.MftLcn, boot.MirrLcn}) {
    if (lcn <= 0 || lcn >= (std::int64_t{1} << 40)) continue;
    std::vector<std::uint8_t> record(boot.RecordSize);
    if (!ReadVolumeBytes(volume, static_cast<std::uint64_t>(lcn * boot.ClusterSize + 3 * std::int64_t{boot.RecordSize}),
                         record.data(), record.size(), TVolumeReadRule::Lenient))
      continue;
    ApplyFixup(record);
    TNtfsRecordInfo info;
    std::vector<TNtfsAttrHeader> headers;
    if (!ParseRecordAttributes(record, info, headers)) continue;
    for (const TNtfsAttrHeader& h : headers) {
      if (h.Type != kNtfsAttrVolumeName) continue;
      if (!h.NonResident && h.ValueLength > 0)
        return Utf16LeBytesToUtf8(ByteSpan(record).subspan(h.ValueOffset, h.ValueLength));
      break;
    }
  }
  return {};
}


// ------------------------------------------------------------ scanning variant

namespace {

struct TNtfsTreeNode : TFsTreeNode {
  std::uint32_t Attributes = 0;
  std::uint64_t CreationTime = 0;
  std::uint64_t WriteTime = 0;
  std::uint64_t ChangeTime = 0;
  std::int64_t Size = 0;
  std::string Name;
  std::int64_t Mft = 0;
  std::int64_t ParentMft = 0;
  std::int64_t FirstSector = 0;
  std::int32_t Tag = 0;
};

}  // namespace

class TFileTree : public TFileSystem_Tree {
 public:
  explicit TFileTree(FileSystem* fs) : TFileSystem_Tree(fs) { InitRoot(); }
  bool FillEntry(TFsTreeNode* node, TFileEntry& out, FsHandle) override {
    out.Clear();
    auto* n = static_cast<TNtfsTreeNode*>(node);
    if (n == nullptr) return false;
    out.Attributes = n->Attributes;
    out.CreationTime = n->CreationTime;
    out.LastWriteTime = n->WriteTime;
    out.LastAccessTime = n->ChangeTime;
    out.Size = n->Size;
    out.Name = n->Name;
    out.ObjectId = n->Mft;
    out.ParentId = n->ParentMft;
    out.Node = n;
    out.ParentNode = n->Parent;
    out.Fs = fileSystem_;
    out.Storage = fileSystem_->Storage();
    return true;
  }
};

TNTFS_Salvager::TNTFS_Salvager(TStorage* storage) : TNTFS(storage, true) {}
TNTFS_Salvager::~TNTFS_Salvager() = default;

void TNTFS_Salvager::Prepare() {
  TNTFS::Prepare();
  BuildTree();
}

void TNTFS_Salvager::BuildTree() {
  tree_ = std::make_unique<TFileTree>(this);
  encryptedCount_ = 0;
  if (mftRuns_.empty()) return;
  const std::int64_t recordSize = boot_.RecordSize;
  // A record count from a damaged $MFT size must not make the scan endless.
  const std::int64_t count = std::min<std::int64_t>(MftRecordCount(), std::int64_t{1} << 26);
  const std::int64_t perPiece = std::max<std::int64_t>(1, 524288 / recordSize);
  std::vector<std::uint8_t> piece;
  std::vector<std::unique_ptr<TNtfsTreeNode>> nodes;
  auto lastReport = std::chrono::steady_clock::now();
  struct Extension {
    std::int64_t base = 0;
    bool inUse = false;
    TNtfsNameChoice names;
    bool hasData = false;
    std::int64_t dataSize = 0;
    std::int64_t firstLcn = -1;
  };
  std::map<std::int64_t, Extension> extensions;
  // Base records with an attribute list wait for their extensions.
  struct Pending {
    TNtfsTreeNode* node;
    std::vector<std::uint8_t> record;
    TNtfsRecordDescription description;
  };
  std::vector<Pending> withList;
  auto describe = [&](TNtfsTreeNode& node, const TNtfsRecordDescription& d) {
    node.CreationTime = d.CreationTime;
    node.WriteTime = d.WriteTime;
    node.ChangeTime = d.ChangeTime;
    node.Attributes |= d.FileAttributes;
    if (d.HasData) node.Size = d.DataSize;
    if (d.FirstLcn >= 0) node.FirstSector = d.FirstLcn * clusterSize_ / std::max(1, storage_->SectorSize);
    if (d.Names.Found()) {
      const TNtfsFileName& chosen = d.Names.Chosen();
      node.Name = chosen.Name;
      node.ParentMft = static_cast<std::int64_t>(chosen.Parent);
      if (node.CreationTime == 0) {
        node.CreationTime = chosen.CreationTime;
        node.WriteTime = chosen.WriteTime;
        node.ChangeTime = chosen.ChangeTime;
      }
      node.Attributes |= chosen.Flags & ~kNtfsFileNameDirectory;
    } else {
      char name[64];
      std::snprintf(name, sizeof name, "Unknow file $%llx", static_cast<unsigned long long>(node.Mft));
      node.Name = name;
      node.ParentMft = -1;
    }
    if (d.Info.Directory) {
      node.Attributes |= kAttrDirectory;
      node.Size = 0;
    }
    if (!d.Info.InUse) node.Attributes |= kAttrDeleted;
    // Links and special files are told apart as the index listing does.
    TFileEntry probe;
    probe.Attributes = node.Attributes;
    probe.Size = node.Size;
    probe.ObjectId = node.Mft;
    ClassifyLink(probe);
    node.Attributes = probe.Attributes;
    node.Size = probe.Size;
    if ((node.Attributes & kAttrEncrypted) != 0 && !d.Info.Directory) {
      ++encryptedCount_;
      // Such a file reads as its raw export.
      TFileEntry entry;
      entry.ObjectId = node.Mft;
      const std::int64_t exported = EncryptedRawSize(entry);
      if (exported >= 0) node.Size = exported;
    }
  };
  for (std::int64_t first = 0; first < count; first += perPiece) {
    const std::int64_t n = std::min(perPiece, count - first);
    piece.assign(static_cast<std::size_t>(n * recordSize), 0);
    ReadRuns(mftRuns_, first * recordSize, piece.data(), piece.size());
    for (std::int64_t k = 0; k < n; ++k) {
      const std::int64_t number = first + k;
      MutableByteSpan rec(piece.data() + k * recordSize, static_cast<std::size_t>(recordSize));
      if (!BytesEqual(rec, 0, "FILE")) continue;
      ApplyFixup(rec);
      TNtfsRecordDescription d;
      if (!DescribeRecord(rec, clusterCount_, d)) continue;
      if (d.Info.BaseRecord != 0) {
        // An extension record: what it holds belongs to its base record,
        // joined below when the base's attribute list names it.
        if (d.Names.Found() || d.HasData)
          extensions.emplace(number, Extension{static_cast<std::int64_t>(d.Info.BaseRecord), d.Info.InUse, d.Names,
                                               d.HasData, d.DataSize, d.FirstLcn});
        continue;
      }
      if (number >= 16 && number <= 23 && !d.Info.InUse) continue;
      auto node = std::make_unique<TNtfsTreeNode>();
      node->Mft = number;
      if (d.HasAttributeList) {
        withList.push_back({node.get(), std::vector<std::uint8_t>(rec.begin(), rec.end()), std::move(d)});
      } else {
        describe(*node, d);
      }
      nodes.push_back(std::move(node));
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - lastReport >= std::chrono::milliseconds(300)) {
      lastReport = now;
      if (ReportProgress(static_cast<int>((first + n) * 100 / std::max<std::int64_t>(count, 1)), "Scanning MFT") == 0) break;
    }
  }

  // Names and data kept in extension records, taken from the records the
  // base's attribute list names (and that name the base back), in list order.
  std::size_t listBudget = kMaxScanListBytes;
  for (Pending& p : withList) {
    TNtfsRecordInfo info;
    std::vector<TNtfsAttrHeader> headers;
    ParseRecordAttributes(p.record, info, headers);
    std::vector<std::uint8_t> list;
    for (const TNtfsAttrHeader& h : headers) {
      if (h.Type != kNtfsAttrAttributeList) continue;
      TNtfsAttrDesc listDesc;
      DescFromHeader(p.record, h, p.node->Mft, clusterCount_, listDesc);
      ReadAttributeValue(listDesc, list, std::min(listBudget, kMaxListBytes));
      listBudget -= std::min(listBudget, list.size());
      break;
    }
    std::vector<TNtfsListEntry> entries;
    ParseAttributeList(list, entries);
    std::set<std::int64_t> joined;
    for (const TNtfsListEntry& e : entries) {
      const auto number = static_cast<std::int64_t>(e.Record);
      const bool wanted = e.Type == kNtfsAttrFileName || (e.Type == kNtfsAttrData && e.Name.empty() && e.StartVcn == 0);
      if (!wanted || number == p.node->Mft || joined.count(number) != 0) continue;
      const auto it = extensions.find(number);
      if (it == extensions.end() || it->second.base != p.node->Mft || it->second.inUse != p.description.Info.InUse) continue;
      joined.insert(number);
      const Extension& x = it->second;
      p.description.Names.Offer(x.names);
      if (x.hasData && !p.description.HasData) {
        p.description.HasData = true;
        p.description.DataSize = x.dataSize;
      }
      if (p.description.FirstLcn < 0) p.description.FirstLcn = x.firstLcn;
    }
    describe(*p.node, p.description);
  }
  withList.clear();
  extensions.clear();

  // Link: directories by record number; walks up the parent chain decide
  // which nodes reach the root, so loops of parents end under "Unknown files".
  // The last of equal record numbers wins.
  std::unordered_map<std::int64_t, TNtfsTreeNode*> directories;
  for (auto& node : nodes)
    if ((node->Attributes & kAttrDirectory) != 0 && node->Mft <= 0xFFFFFFFFLL) directories[node->Mft] = node.get();
  auto parentOf = [&](TNtfsTreeNode* node) -> TNtfsTreeNode* {
    if (node->Mft == kNtfsRootRecord || node->ParentMft < 0 || node->ParentMft > 0xFFFFFFFFLL || node->ParentMft == node->Mft)
      return nullptr;
    const auto it = directories.find(node->ParentMft);
    return it == directories.end() ? nullptr : it->second;
  };
  std::map<TNtfsTreeNode*, int> state;  // 1 reaches the root, 2 does not
  for (auto& node : nodes) {
    std::vector<TNtfsTreeNode*> path;
    TNtfsTreeNode* cur = node.get();
    int verdict = 2;
    while (cur != nullptr) {
      const auto it = state.find(cur);
      if (it != state.end()) {
        verdict = it->second;
        break;
      }
      if (cur->Mft == kNtfsRootRecord) {
        verdict = 1;
        break;
      }
      if (std::find(path.begin(), path.end(), cur) != path.end() || path.size() > 4096) break;
      path.push_back(cur);
      cur = parentOf(cur);
    }
    for (TNtfsTreeNode* p : path) state[p] = verdict;
  }
  TNtfsTreeNode* rootNode = nullptr;
  for (auto& node : nodes)
    if (node->Mft == kNtfsRootRecord) rootNode = node.get();
  auto unknown = std::make_unique<TNtfsTreeNode>();
  unknown->Name = "Unknown files";
  unknown->Attributes = kAttrDirectory | kAttrDeleted;
  unknown->Mft = -1;
  TNtfsTreeNode* unknownNode = unknown.get();
  std::map<std::int64_t, TNtfsTreeNode*> placeholders;
  std::vector<std::pair<TFsTreeNode*, std::unique_ptr<TNtfsTreeNode>>> links;
  std::vector<std::unique_ptr<TNtfsTreeNode>> extra;
  for (auto& node : nodes) {
    if (node.get() == rootNode) continue;
    TNtfsTreeNode* parent = parentOf(node.get());
    TFsTreeNode* target = nullptr;
    if (state[node.get()] == 1) {
      target = parent == rootNode ? tree_->Root() : parent;
    } else if (parent == nullptr && node->ParentMft >= 0 && node->ParentMft != node->Mft) {
      // A parent record that is not a directory we found: a placeholder.
      auto& slot = placeholders[node->ParentMft];
      if (slot == nullptr) {
        auto holder = std::make_unique<TNtfsTreeNode>();
        char name[48];
        std::snprintf(name, sizeof name, "Folder: %lld", static_cast<long long>(node->ParentMft));
        holder->Name = name;
        holder->Attributes = kAttrDirectory | kAttrDeleted;
        holder->Mft = node->ParentMft;
        slot = holder.get();
        extra.push_back(std::move(holder));
      }
      target = slot;
    } else {
      target = unknownNode;
    }
    links.emplace_back(target, std::move(node));
  }
  if (rootNode != nullptr && !rootNode->Name.empty()) rootNode->Name[0] = 'R';
  // Parents first: attach in an order where every target is already placed.
  tree_->AddChild(nullptr, std::move(unknown));
  for (auto& holder : extra) tree_->AddChild(unknownNode, std::move(holder));
  for (auto& [target, node] : links) tree_->AddChild(target, std::move(node));
  nodes.clear();
  ReportProgress(100, "Done ...");
  ReportProgress(-1, "");
}

FsHandle TNTFS_Salvager::FindFirstByPath(std::string_view directoryPath, TFileEntry& out) {
  if (!tree_) return kNoHandle;
  int hops = kMaxLinkHops;
  TFsTreeNode* node = FollowTreePath(directoryPath, hops);
  if (node == nullptr) {
    out.Clear();
    return kNoHandle;
  }
  return tree_->FindFirstInNode(node, out);
}

FsHandle TNTFS_Salvager::FindFirst(const TFileEntry& directory, TFileEntry& out) {
  if (!tree_) return kNoHandle;
  TFsTreeNode* node = directory.Node;
  if (node == nullptr) node = tree_->Root();
  if (MayBeJunction(directory)) {
    int hops = kMaxLinkHops;
    node = FollowTreeLink(node, hops);
  }
  return tree_->FindFirstInNode(node, out);
}

TFsTreeNode* TNTFS_Salvager::FollowTreePath(std::string_view path, int& hops) {
  std::vector<std::string_view> components;
  bool absolute = false;
  TFsTreeNode* node = tree_->Root();
  if (!SplitPath(path, components, absolute)) node = nullptr;
  for (std::size_t i = 0; node != nullptr && i < components.size(); ++i) {
    node = tree_->FindChildByName(node, components[i]);
    if (node != nullptr && node != tree_->Root()) node = FollowTreeLink(node, hops);
  }
  if (node == nullptr) LogEvent(kSenderNtfs, kErrNtfsNotFound, 0, path, 3);
  return node;
}

TFsTreeNode* TNTFS_Salvager::FollowTreeLink(TFsTreeNode* node, int& hops) {
  TFileEntry link;
  if (node == nullptr || node == tree_->Root() || !tree_->FillEntry(node, link, kNoHandle) || !MayBeJunction(link))
    return node;
  // Junctions that lead to each other end here, like any chain too long.
  if (hops <= 0) return node;
  --hops;
  const std::string target = CachedLinkTarget(link);
  if (target.empty()) return node;
  TFsTreeNode* reached = FollowTreePath(target, hops);
  TFileEntry entry;
  if (reached == tree_->Root() || (reached != nullptr && tree_->FillEntry(reached, entry, kNoHandle) && entry.IsDirectory()))
    return reached;
  return node;
}

std::string TNTFS_Salvager::LinkCheckPath(const TFileEntry& entry) {
  // The node's place in the tree, from the root.
  std::vector<const std::string*> names;
  for (TFsTreeNode* n = entry.Node; n != nullptr && tree_ && n != tree_->Root() && names.size() < 4096; n = n->Parent)
    names.push_back(&static_cast<TNtfsTreeNode*>(n)->Name);
  if (names.empty()) return entry.Name;
  std::string path;
  for (auto it = names.rbegin(); it != names.rend(); ++it) path += kPathDelimiter + **it;
  return path;
}

bool TNTFS_Salvager::FindNext(FsHandle handle, TFileEntry& out) { return tree_ && tree_->FindNext(handle, out); }

void TNTFS_Salvager::FindClose(FsHandle handle) {
  if (tree_) tree_->FindClose(handle);
}

std::int32_t TNTFS_Salvager::GetTag(const TFileEntry& entry) {
  return entry.Node != nullptr ? static_cast<TNtfsTreeNode*>(entry.Node)->Tag : 0;
}

void TNTFS_Salvager::SetTag(const TFileEntry& entry, std::int32_t value) {
  if (entry.Node != nullptr) static_cast<TNtfsTreeNode*>(entry.Node)->Tag = value;
}

std::int32_t TNTFS_Salvager::ListEncryptedFiles(std::vector<TFsTreeNode*>& list) {
  if (!tree_) return 0;
  std::vector<TFsTreeNode*> pending{tree_->Root()};
  while (!pending.empty()) {
    TFsTreeNode* node = pending.back();
    pending.pop_back();
    for (TFsTreeNode* child = node->FirstChild; child != nullptr; child = child->Next) {
      auto* n = static_cast<TNtfsTreeNode*>(child);
      if ((n->Attributes & kAttrEncrypted) != 0 && (n->Attributes & kAttrDirectory) == 0) list.push_back(child);
      pending.push_back(child);
    }
  }
  return static_cast<std::int32_t>(list.size());
}

bool TNTFS_Salvager::EntryFromNode(TFsTreeNode* node, TFileEntry& out) {
  if (!tree_ || node == nullptr || node == tree_->Root()) {
    out.Clear();
    return false;
  }
  return tree_->FillEntry(node, out, kNoHandle);
}

std::int32_t TNTFS_Salvager::GetScanCount() { return encryptedCount_; }

}  // namespace vandrel
