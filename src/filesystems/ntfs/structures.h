// NTFS on-disk structures decoded from byte buffers: the boot sector, the
// update-sequence fixup, MFT records with their attributes, runlists,
// attribute lists and index entries. Pure functions over spans, so every
// one of them can be fed damaged bytes directly.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/endian.h"
#include "filesystems/file_system.h"

namespace vandrel {

inline constexpr std::uint32_t kNtfsAttrStandardInfo = 0x10;
inline constexpr std::uint32_t kNtfsAttrAttributeList = 0x20;
inline constexpr std::uint32_t kNtfsAttrFileName = 0x30;
inline constexpr std::uint32_t kNtfsAttrVolumeName = 0x60;
inline constexpr std::uint32_t kNtfsAttrData = 0x80;
inline constexpr std::uint32_t kNtfsAttrIndexRoot = 0x90;
inline constexpr std::uint32_t kNtfsAttrIndexAllocation = 0xA0;
inline constexpr std::uint32_t kNtfsAttrBitmap = 0xB0;
inline constexpr std::uint32_t kNtfsAttrReparsePoint = 0xC0;
inline constexpr std::uint32_t kNtfsAttrEa = 0xE0;
inline constexpr std::uint32_t kNtfsAttrLoggedUtility = 0x100;
inline constexpr std::uint32_t kNtfsAttrEnd = 0xFFFFFFFF;

inline constexpr std::uint16_t kNtfsFlagCompressed = 0x0001;
inline constexpr std::uint16_t kNtfsFlagEncrypted = 0x4000;
inline constexpr std::uint16_t kNtfsFlagSparse = 0x8000;

inline constexpr std::int64_t kNtfsRootRecord = 5;
// Records below this one are the volume's metafiles.
inline constexpr std::int64_t kNtfsFirstUserRecord = 16;
// File references carry a 16-bit sequence number above the record number.
inline constexpr std::uint64_t kNtfsRecordMask = 0x0000FFFFFFFFFFFFULL;

// Matches every attribute name in lookups by name.
inline constexpr std::string_view kNtfsAnyStream = "USE_ANY_STREAM_@$@#%#$S!#%#$#";

// Geometry read from the boot sector.
struct TNtfsBoot {
  std::uint32_t BytesPerSector = 512;
  std::uint32_t ClusterSize = 4096;
  std::uint32_t RecordSize = 1024;      // MFT record
  std::uint32_t IndexBlockSize = 4096;  // $I30 index block
  std::int64_t TotalSectors = 0;
  std::int64_t MftLcn = 0;
  std::int64_t MirrLcn = 0;
};

// Reads the boot sector; false when it is not an NTFS boot sector or its
// geometry is out of range (the fields accepted so far stay in `out`).
bool ParseNtfsBoot(ByteSpan sector, TNtfsBoot& out);

// Undoes the update-sequence protection of a "FILE" or "INDX" buffer in
// place. Other buffers are left alone (true). False when the array does not
// fit or a protected sector's check value does not match (entries are
// written back all the same).
bool ApplyFixup(MutableByteSpan buffer);

// One decoded run: `Length` clusters from virtual cluster `Vcn`, at logical
// cluster `Lcn`; kLcnSparse for a run that holds no clusters.
struct TRunNode {
  std::int64_t Vcn = 0;
  std::int64_t Length = 0;
  std::int64_t Lcn = 0;
};
inline constexpr std::int64_t kLcnSparse = -1;
// A run whose clusters lie outside the volume: read as zeros.
inline constexpr std::int64_t kLcnOutside = -3;

// Mapping pairs from `startVcn` on. Runs that reach outside `clusterCount`
// clusters (when > 0) are kept as kLcnOutside. True when at least one run
// was decoded.
bool DecodeRunlist(ByteSpan runlist, std::int64_t startVcn, std::int64_t clusterCount, std::vector<TRunNode>& out);

// One attribute header of an MFT record.
struct TNtfsAttrHeader {
  std::uint32_t Type = 0;
  std::uint32_t Offset = 0;  // within the record
  std::uint32_t Length = 0;
  bool NonResident = false;
  std::string Name;  // UTF-8
  std::uint16_t Flags = 0;
  std::uint16_t Id = 0;
  // Resident: the value's place in the record, clipped to it.
  std::uint32_t ValueOffset = 0;
  std::uint32_t ValueLength = 0;
  // Non-resident.
  std::int64_t StartVcn = 0;
  std::int64_t LastVcn = 0;
  std::uint32_t RunlistOffset = 0;  // within the record
  std::uint32_t RunlistLength = 0;
  std::uint8_t CompressionUnit = 0;
  std::int64_t AllocatedSize = 0;
  std::int64_t DataSize = 0;
  std::int64_t InitializedSize = 0;
};

// Record header facts.
struct TNtfsRecordInfo {
  bool InUse = false;
  bool Directory = false;
  std::uint64_t BaseRecord = 0;  // 0 for a base record
  std::uint16_t LinkCount = 0;
  std::uint32_t BytesInUse = 0;
};

// Walks the attributes of a fixed-up "FILE" record. False when the
// signature is wrong; stops quietly at the first header that does not fit.
bool ParseRecordAttributes(ByteSpan record, TNtfsRecordInfo& info, std::vector<TNtfsAttrHeader>& attributes);

// One entry of an attribute list.
struct TNtfsListEntry {
  std::uint32_t Type = 0;
  std::int64_t StartVcn = 0;
  std::uint64_t Record = 0;  // record number, sequence stripped
  std::uint16_t Id = 0;
  std::string Name;
};
void ParseAttributeList(ByteSpan list, std::vector<TNtfsListEntry>& out);

// The $FILE_NAME value (also the key of a $I30 index entry).
struct TNtfsFileName {
  std::uint64_t Parent = 0;  // record number
  std::uint64_t CreationTime = 0;
  std::uint64_t WriteTime = 0;
  std::uint64_t ChangeTime = 0;
  std::uint64_t AccessTime = 0;
  std::int64_t AllocatedSize = 0;
  std::int64_t RealSize = 0;
  std::uint32_t Flags = 0;
  std::uint8_t Namespace = 0;
  std::string Name;
};
inline constexpr std::uint8_t kNtfsNamespaceDos = 2;
inline constexpr std::uint32_t kNtfsFileNameDirectory = 0x10000000;
bool ParseFileName(ByteSpan value, TNtfsFileName& out);

// An entry of a $I30 index node.
struct TNtfsIndexEntry {
  std::uint64_t Record = 0;
  TNtfsFileName Key;
};
// Entries of one node: `entries` is the node's entry area. Stops at the
// last-entry mark or at the first entry that does not fit.
void ParseIndexEntries(ByteSpan entries, std::vector<TNtfsIndexEntry>& out);
// The entry area of an index root value (resident $INDEX_ROOT); false when
// the root does not index file names. `large` tells whether blocks exist.
bool IndexRootEntries(ByteSpan value, ByteSpan& entries, bool& large);
// The entry area of a fixed-up "INDX" block.
bool IndexBlockEntries(ByteSpan block, ByteSpan& entries);

// Picks a record's preferred name among its $FILE_NAME attributes: a Win32
// name always replaces the choice, a POSIX name is taken while nothing is
// chosen, and the first DOS-only name is kept for when nothing else turns up.
class TNtfsNameChoice {
 public:
  void Offer(const TNtfsFileName& name);
  // Names another choice has seen, as though offered here after these.
  void Offer(const TNtfsNameChoice& later);
  bool Found() const { return !primary_.Name.empty() || hasFallback_; }
  // The primary name when there is one, else the DOS fallback.
  const TNtfsFileName& Chosen() const { return primary_.Name.empty() && hasFallback_ ? fallback_ : primary_; }

 private:
  TNtfsFileName primary_;
  TNtfsFileName fallback_;
  bool hasFallback_ = false;
};

// What a scan of the MFT takes from one record.
struct TNtfsRecordDescription {
  TNtfsRecordInfo Info;
  TNtfsNameChoice Names;
  // $STANDARD_INFORMATION.
  std::uint64_t CreationTime = 0;
  std::uint64_t WriteTime = 0;
  std::uint64_t ChangeTime = 0;
  std::uint32_t FileAttributes = 0;
  // The unnamed $DATA: resident, or its extent from VCN 0.
  bool HasData = false;
  std::int64_t DataSize = 0;
  std::int64_t FirstLcn = -1;  // first allocated cluster of its runs here
  bool HasAttributeList = false;
};
// Describes a fixed-up record; runs reaching past `clusterCount` clusters
// (when > 0) are not taken as its first cluster. False when it is not a
// "FILE" record.
bool DescribeRecord(ByteSpan record, std::int64_t clusterCount, TNtfsRecordDescription& out);

inline constexpr std::uint32_t kNtfsReparseMountPoint = 0xA0000003;
inline constexpr std::uint32_t kNtfsReparseSymlink = 0xA000000C;
inline constexpr std::uint32_t kNtfsSymlinkRelative = 1;
// The substitute name (UTF-8) of a mount-point (junction) reparse buffer.
// False for any other tag, and when the name does not lie inside both the
// buffer and the length its header declares.
bool ParseMountPointTarget(ByteSpan reparse, std::string& substitute);
// A symbolic-link reparse point's target with '/' separators: relative as
// stored, absolute as its printed name ("C:/x").
bool ParseSymlinkTarget(ByteSpan reparse, std::string& target);
// An Interix link (what ntfs-3g makes for a symbolic link): a system file
// whose data is "IntxLNK\1" and the UTF-16 target.
inline constexpr std::array<std::uint8_t, 8> kNtfsInterixLinkMagic = {'I', 'n', 't', 'x', 'L', 'N', 'K', 1};
bool ParseInterixLink(ByteSpan data, std::string& target);
// ntfs-3g's Interix special files are system files: 0 bytes a FIFO, 1 byte
// a socket, "IntxCHR\0" or "IntxBLK\0" with a 64-bit major and minor a
// device. Unknown for any other data.
TSpecialKind ParseInterixSpecial(ByteSpan data, TSpecialInfo& info);
// What ntfs-3g writes with special_files=wsl: a link's reparse data holds a
// version and the UTF-8 target; FIFOs, sockets and devices have a tag of
// their own and keep the device numbers in the extended attribute $LXDEV.
inline constexpr std::uint32_t kNtfsReparseLxSymlink = 0xA000001D;
bool ParseLxSymlink(ByteSpan reparse, std::string& target);
TSpecialKind LxSpecialKind(std::uint32_t tag);
// The value of the extended attribute `name` in the bytes of an $EA
// attribute; false when absent or when an entry leaves the buffer.
bool FindEaValue(ByteSpan ea, std::string_view name, ByteSpan& value);

}  // namespace vandrel
