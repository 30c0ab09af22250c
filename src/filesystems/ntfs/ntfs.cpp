#include "filesystems/ntfs/ntfs.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>

#include "common/error_codes.h"
#include "common/log.h"
#include "common/text.h"
#include "platform/locale.h"
#include "filesystems/block_file_stream_storage.h"
#include "filesystems/dir_list_ex.h"
#include "filesystems/ntfs/attribute_list.h"
#include "filesystems/ntfs/reparse.h"
#include "filesystems/volume_read.h"

namespace vandrel {
namespace {

// Extension records one attribute may gather.
constexpr std::size_t kMaxExtensionRecords = 4096;
// "Data is encrypted".
constexpr int kErrDataEncrypted = 8;

bool NameMatches(std::string_view have, std::string_view want) {
  return want == kNtfsAnyStream || have == want || EqualNoCase(have, want);
}

}  // namespace

// ------------------------------------------------------------ small types

std::int32_t TNtfs_File_Streams::IndexOf(std::uint32_t type) const {
  for (std::size_t i = 0; i < Entries.size(); ++i)
    if (Entries[i].Type == type) return static_cast<std::int32_t>(i);
  return -1;
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
    if (d.Damage == TDamage::None) d.Damage = x.info.Damage;
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
  for (const TNtfsAttrDesc& d : extents)
    if (out.Damage == TDamage::None) out.Damage = d.Damage;
  out.Complete = !anyFailed;
  return true;
}

bool TNTFS::Open() {
  LogText("Build MFT");
  LogText("Loading Boot sector");
  if (storage_ == nullptr) return false;
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
  return Usable();
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

void TNTFS::Prepare() {
  LogText("Try to load Bitmap");
  LoadBitmap();
  LogText("Succes load Bitmap");
  LogText("Begin scan MFT");
  ReportProgress(100, "Done ...");
  ReportProgress(-1, "");
  LogText("End scan MFT");
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
    const bool loaded = LoadRecord(record, s);
    if (!loaded && s.Info.Damage == TDamage::None) return kNoHandle;
    // A stream whose record cannot be trusted: every byte of the size the
    // folder's index gives fails to read, and the handle says why.
    const auto unreadable = [&](TDamage why) {
      const std::int64_t volumeBytes = clusterCount_ * clusterSize_;
      const std::int64_t size = std::clamp<std::int64_t>(entry.Size, 0, volumeBytes);
      TNtfsAttrDesc lost;
      lost.Type = type;
      lost.DataSize = lost.InitializedSize = lost.AllocatedSize = size;
      if (size > 0) lost.Runs.push_back(TRunNode{0, (size + clusterSize_ - 1) / clusterSize_, kLcnOutside});
      const FsHandle handle = MakeHandle(std::move(lost), record, false);
      if (TNtfsFileHandle* h = files_.Get(handle)) h->Damage = why;
      return handle;
    };
    // None of a torn record's runs are trusted.
    if (s.Torn) return unreadable(TDamage::TornRecord);
    TNtfsAttrDesc d;
    if (index >= 0) {
      if (static_cast<std::size_t>(index) >= s.Entries.size()) return kNoHandle;
      const TNtfs_File_Stream& e = s.Entries[static_cast<std::size_t>(index)];
      if (!CollectAttribute(s, e.Type, e.Name, d)) return kNoHandle;
    } else if (!CollectAttribute(s, type, name, d)) {
      // The stream may be among the attributes a damaged walk left out.
      return s.Info.Damage != TDamage::None ? unreadable(s.Info.Damage) : kNoHandle;
    }
    if (d.Damage == TDamage::None) d.Damage = s.Info.Damage;
    return MakeHandle(std::move(d), record, raw);
  } catch (const std::exception& e) {
    LogText(std::string("ResetFileADS ") + e.what());
    return kNoHandle;
  }
}

TDamage TNTFS::ReadDamage(FsHandle handle) {
  const TNtfsFileHandle* h = IsInvalidHandle(handle) ? nullptr : files_.Get(handle);
  return h != nullptr ? h->Damage : TDamage::None;
}

std::int32_t TNTFS::ReadAt(FsHandle handle, std::int64_t position, void* buffer, std::int32_t count) {
  TNtfsFileHandle* h = files_.Get(handle);
  if (h == nullptr || count <= 0 || clusterSize_ == 0) return 0;
  if (h->Efs) return static_cast<std::int32_t>(h->Efs->ReadAt(position, buffer, count));
  if (position < 0 || position >= h->Size) return 0;
  auto* out = static_cast<std::uint8_t*>(buffer);
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
    if (h.Type == kNtfsAttrStandardInfo && !h.NonResident && h.ValueLength >= kNtfsStdInfoFileAttributes) {
      const ByteSpan v = ByteSpan(record).subspan(h.ValueOffset, h.ValueLength);
      f.CreationTime = Le64(v, kNtfsStdInfoCreationTime);
      f.LastWriteTime = Le64(v, kNtfsStdInfoWriteTime);
      f.LastAccessTime = Le64(v, kNtfsStdInfoAccessTime);
      f.Attributes |= Le32(v, kNtfsStdInfoFileAttributes) & kAttrEncrypted;
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
  // Attributes the walk left out (past the bytes in use, out of order).
  if (info.Damage != TDamage::None) f.MarkDamaged(info.Damage);
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


}  // namespace vandrel
