#include "volumes/partitions/gpt_guides.h"

#include <algorithm>
#include <cstdio>

namespace vandrel {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Text order of the bytes: the first three groups are stored little-endian.
constexpr std::array<int, 16> kTextOrder = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};

}  // namespace

TGuid ParseGuid(std::string_view text) {
  TGuid guid{};
  std::array<std::uint8_t, 16> inTextOrder{};
  std::size_t n = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '-') continue;
    if (n >= 32 || i + 1 >= text.size()) return TGuid{};
    const int high = HexDigit(text[i]);
    const int low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) return TGuid{};
    inTextOrder[n / 2] = static_cast<std::uint8_t>(high * 16 + low);
    n += 2;
    ++i;
  }
  if (n != 32) return TGuid{};
  for (std::size_t i = 0; i < 16; ++i) guid[static_cast<std::size_t>(kTextOrder[i])] = inTextOrder[i];
  return guid;
}

std::string GuidText(const TGuid& guid) {
  std::string text;
  char digits[3];
  for (std::size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    std::snprintf(digits, sizeof digits, "%02X", guid[static_cast<std::size_t>(kTextOrder[i])]);
    text += digits;
  }
  return text;
}

TGuid LoadGuid(ByteSpan bytes, std::uint64_t offset) {
  TGuid guid{};
  if (Fits(bytes, offset, guid.size())) std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), 16, guid.begin());
  return guid;
}

bool IsZeroGuid(const TGuid& guid) {
  return std::all_of(guid.begin(), guid.end(), [](std::uint8_t b) { return b == 0; });
}

const TGuid kGuidMicrosoftReserved = ParseGuid("E3C9E316-0B5C-4DB8-817D-F92DF00215AE");
const TGuid kGuidBasicData = ParseGuid("EBD0A0A2-B9E5-4433-87C0-68B6B72699C7");

std::span<const TGPT_Part_Def> GptPartitionTypes() {
  struct Row {
    std::uint8_t type;
    const char* os;
    const char* text;
    const char* guid;
  };
  static const Row kRows[] = {
      {0, "", "MBR partition scheme", "024DEE41-33E7-11D3-9D69-0008C781F39F"},
      {0, "", "EFI System Partition", "C12A7328-F81F-11D2-BA4B-00A0C93EC93B"},
      {0, "", "BIOS Boot Partition", "21686148-6449-6E6F-744E-656564454649"},
      {0, "Windows", "Microsoft Reserved Partition", "E3C9E316-0B5C-4DB8-817D-F92DF00215AE"},
      {0, "Windows", "Basic Data Partition", "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7"},
      {0, "Windows", "LDM metadata partition", "5808C8AA-7E8F-42E0-85D2-E1E90434CFB3"},
      {0, "Windows", "LDM data partition", "AF9B60A0-1431-4F62-BC68-3311714A69AD"},
      {0, "Windows", "Windows Recovery Environment", "DE94BBA4-06D1-4D40-A16A-BFD50179D6AC"},
      {0, "HP-UX", "Data partition", "75894C1E-3AEB-11D3-B7C1-7B03A0000000"},
      {0, "HP-UX", "Service Partition", "E2A1E728-32E3-11D6-A682-7B03A0000000"},
      {0, "Linux", "Data partition", "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7"},
      {0, "Linux", "RAID partition", "A19D880F-05FC-4D3B-A006-743F0F84911E"},
      {0, "Linux", "Swap partition", "0657FD6D-A4AB-43C4-84E5-0933C84B4F4F"},
      {0, "Linux", "Logical Volume Manager partition", "E6D6D379-F507-44C2-A23C-238F2A3DF928"},
      {0, "Linux", "Reserved", "8DA63339-0007-60C0-C436-083AC8230908"},
      {0, "FreeBSD", "Boot partition", "83BD6B9D-7F41-11DC-BE0B-001560B84F0F"},
      {0, "FreeBSD", "Data partition", "516E7CB4-6ECF-11D6-8FF8-00022D09712B"},
      {0, "FreeBSD", "Swap partition", "516E7CB5-6ECF-11D6-8FF8-00022D09712B"},
      {0, "FreeBSD", "Unix File System partition (UFS)", "516E7CB6-6ECF-11D6-8FF8-00022D09712B"},
      {0, "FreeBSD", "Vinum volume manager partition", "516E7CB8-6ECF-11D6-8FF8-00022D09712B"},
      {0, "FreeBSD", "ZFS partition", "516E7CBA-6ECF-11D6-8FF8-00022D09712B"},
      {0xAF, "Mac OS X", "HFS+ partition", "48465300-0000-11AA-AA11-00306543ECAC"},
      {0xA8, "Mac OS X", "Apple UFS", "55465300-0000-11AA-AA11-00306543ECAC"},
      {0, "Mac OS X", "ZFS", "6A898CC3-1DD2-11B2-99A6-080020736631"},
      {0, "Mac OS X", "Apple RAID partition", "52414944-0000-11AA-AA11-00306543ECAC"},
      {0, "Mac OS X", "Apple RAID partition, offline", "52414944-5F4F-11AA-AA11-00306543ECAC"},
      {0xAB, "Mac OS X", "Apple Boot partition", "426F6F74-0000-11AA-AA11-00306543ECAC"},
      {0, "Mac OS X", "Apple Label", "4C616265-6C00-11AA-AA11-00306543ECAC"},
      {0, "Mac OS X", "Apple TV Recovery partition", "5265636F-7665-11AA-AA11-00306543ECAC"},
      {0, "Solaris", "Boot partition", "6A82CB45-1DD2-11B2-99A6-080020736631"},
      {0, "Solaris", "Root partition", "6A85CF4D-1DD2-11B2-99A6-080020736631"},
      {0, "Solaris", "Swap partition", "6A87C46F-1DD2-11B2-99A6-080020736631"},
      {0, "Solaris", "Backup partition", "6A8B642B-1DD2-11B2-99A6-080020736631"},
      {0, "Solaris", "/usr partition", "6A898CC3-1DD2-11B2-99A6-080020736631"},
      {0, "Solaris", "/var partition", "6A8EF2E9-1DD2-11B2-99A6-080020736631"},
      {0, "Solaris", "/home partition", "6A90BA39-1DD2-11B2-99A6-080020736631"},
      {0, "Solaris", "Alternate sector", "6A9283A5-1DD2-11B2-99A6-080020736631"},
      {0, "Solaris", "Reserved partition", "6A945A3B-1DD2-11B2-99A6-080020736631"},
      {0, "Solaris", "Reserved partition", "6A9630D1-1DD2-11B2-99A6-080020736631"},
      {0, "Solaris", "Reserved partition", "6A980767-1DD2-11B2-99A6-080020736631"},
      {0, "Solaris", "Reserved partition", "6A96237F-1DD2-11B2-99A6-080020736631"},
      {0, "Solaris", "Reserved partition", "6A8D2AC7-1DD2-11B2-99A6-080020736631"},
      {0, "NetBSD", "Swap partition", "49F48D32-B10E-11DC-B99B-0019D1879648"},
      {0, "NetBSD", "FFS partition", "49F48D5A-B10E-11DC-B99B-0019D1879648"},
      {0, "NetBSD", "LFS partition", "49F48D82-B10E-11DC-B99B-0019D1879648"},
      {0, "NetBSD", "RAID partition", "49F48DAA-B10E-11DC-B99B-0019D1879648"},
      {0, "NetBSD", "Concatenated partition", "2DB519C4-B10F-11DC-B99B-0019D1879648"},
      {0, "NetBSD", "encrypted partition", "2DB519EC-B10F-11DC-B99B-0019D1879648"},
  };
  static const auto kTable = [] {
    std::array<TGPT_Part_Def, std::size(kRows)> table{};
    for (std::size_t i = 0; i < std::size(kRows); ++i)
      table[i] = {kRows[i].type, kRows[i].os, kRows[i].text, "", ParseGuid(kRows[i].guid)};
    return table;
  }();
  return kTable;
}

}  // namespace vandrel
