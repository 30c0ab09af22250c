#include "filesystems/fat/directory.h"

#include <algorithm>
#include <cstring>

#include "common/text.h"
#include "filesystems/file_system.h"

namespace vandrel {
namespace {

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// An 8.3 field up to its first blank (the first character always counts),
// lower-cased when the entry's case bit says so.
std::string ShortPart(const std::uint8_t* field, std::size_t length, bool lower) {
  std::string part;
  for (std::size_t i = 0; i < length; ++i) {
    char c = static_cast<char>(field[i]);
    if (c == ' ' && i > 0) break;
    if (lower && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    part.push_back(c);
  }
  // Trailing blanks of a name whose first character is a blank.
  while (!part.empty() && part.back() == ' ') part.pop_back();
  return part;
}

}  // namespace

TFatDirEntry ParseFatDirEntry(ByteSpan s) {
  TFatDirEntry e;
  for (std::size_t i = 0; i < kFatDirNameLength; ++i) e.Name[i] = Le8(s, kFatDirName + i);
  e.Attributes = Le8(s, kFatDirAttributes);
  e.CaseFlags = Le8(s, kFatDirCaseFlags);
  e.CreationTime = Le16(s, kFatDirCreationTime);
  e.CreationDate = Le16(s, kFatDirCreationDate);
  e.AccessDate = Le16(s, kFatDirAccessDate);
  e.ClusterHigh = Le16(s, kFatDirClusterHigh);
  e.WriteTime = Le16(s, kFatDirWriteTime);
  e.WriteDate = Le16(s, kFatDirWriteDate);
  e.ClusterLow = Le16(s, kFatDirClusterLow);
  e.FileSize = Le32(s, kFatDirFileSize);
  return e;
}

bool TFatDirEntry::IsDotEntry() const {
  static constexpr char kDot[] = ".          ";
  static constexpr char kDotDot[] = "..         ";
  return std::memcmp(Name.data(), kDot, kFatDirNameLength) == 0 ||
         std::memcmp(Name.data(), kDotDot, kFatDirNameLength) == 0;
}

std::int64_t TFatDirEntry::FirstCluster(bool fat32) const {
  std::int64_t cluster = ClusterLow;
  if (fat32) cluster |= std::int64_t{ClusterHigh} << 16;
  return cluster & 0x0FFFFFFF;
}

bool IsFatLfnEntry(ByteSpan s) {
  return (Le8(s, kFatLfnAttributes) & kFatLfnAttributeMask) == kFatLfnAttributeValue && Le8(s, kFatLfnType) == 0;
}

TFatLfnPart ParseFatLfnPart(ByteSpan s) {
  TFatLfnPart p;
  p.Order = Le8(s, kFatLfnOrder);
  p.Checksum = Le8(s, kFatLfnChecksum);
  std::size_t n = 0;
  for (std::uint64_t i = 0; i < 5; ++i) p.Units[n++] = Le16(s, kFatLfnName1 + 2 * i);
  for (std::uint64_t i = 0; i < 6; ++i) p.Units[n++] = Le16(s, kFatLfnName2 + 2 * i);
  for (std::uint64_t i = 0; i < 2; ++i) p.Units[n++] = Le16(s, kFatLfnName3 + 2 * i);
  return p;
}

std::uint64_t FatTimeToFileTime(std::uint16_t date, std::uint16_t time) {
  const unsigned day = date & 0x1F;
  const unsigned month = (date >> 5) & 0x0F;
  const std::int64_t year = (date >> 9) + 1980;
  const unsigned seconds = (time & 0x1F) * 2;
  const unsigned minutes = (time >> 5) & 0x3F;
  const unsigned hours = time >> 11;
  if (day == 0 || month == 0 || month > 12 || hours > 23 || minutes > 59 || seconds > 59) return 0;
  const std::int64_t unixSeconds = DaysFromCivil(year, month, day) * 86400 + hours * 3600 + minutes * 60 + seconds;
  return UnixToFileTime(unixSeconds);
}

std::uint8_t FatShortNameChecksum(const std::uint8_t* name11) {
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < kFatDirNameLength; ++i)
    sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + name11[i]);
  return sum;
}

std::string FatShortName(const TFatDirEntry& entry, std::uint8_t first) {
  std::array<std::uint8_t, kFatDirStemLength> stem{};
  std::copy_n(entry.Name.begin(), kFatDirStemLength, stem.begin());
  stem[0] = first;
  std::string name = ShortPart(stem.data(), stem.size(), (entry.CaseFlags & kFatCaseLowerStem) != 0);
  const std::string extension = ShortPart(entry.Name.data() + kFatDirExtension, kFatDirExtensionLength,
                                          (entry.CaseFlags & kFatCaseLowerExtension) != 0);
  if (!extension.empty() && extension[0] != ' ') name += "." + extension;
  // Short names are in the OEM code page; stop at a NUL byte.
  return name.substr(0, name.find('\0'));
}

}  // namespace vandrel
