// The $FILE_NAME attribute (also the key of a folder's index entries) and
// the choice among a file's names.
#pragma once

#include <cstdint>
#include <string>

#include "common/endian.h"

namespace vandrel {

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
// $FILE_NAME fields.
inline constexpr std::uint64_t kNtfsFileNameParent = 0;  // file reference
inline constexpr std::uint64_t kNtfsFileNameCreationTime = 8;
inline constexpr std::uint64_t kNtfsFileNameWriteTime = 16;
inline constexpr std::uint64_t kNtfsFileNameChangeTime = 24;  // of the record
inline constexpr std::uint64_t kNtfsFileNameAccessTime = 32;
inline constexpr std::uint64_t kNtfsFileNameAllocatedSize = 40;
inline constexpr std::uint64_t kNtfsFileNameRealSize = 48;
inline constexpr std::uint64_t kNtfsFileNameFlags = 56;
inline constexpr std::uint64_t kNtfsFileNameLength = 64;  // in UTF-16 units
inline constexpr std::uint64_t kNtfsFileNameNamespace = 65;
inline constexpr std::uint64_t kNtfsFileNameName = 66;
inline constexpr std::uint64_t kNtfsFileNameHeaderLength = 66;

inline constexpr std::uint8_t kNtfsNamespacePosix = 0;
inline constexpr std::uint8_t kNtfsNamespaceWin32 = 1;
inline constexpr std::uint8_t kNtfsNamespaceDos = 2;
inline constexpr std::uint8_t kNtfsNamespaceWin32AndDos = 3;
inline constexpr std::uint32_t kNtfsFileNameDirectory = 0x10000000;
bool ParseFileName(ByteSpan value, TNtfsFileName& out);

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

}  // namespace vandrel
