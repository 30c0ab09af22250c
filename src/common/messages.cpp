#include "common/messages.h"

#include <array>

namespace vandrel {
namespace {

const std::array<const char*, kMessageCount>& Table() {
  static const std::array<const char*, kMessageCount> table = [] {
    std::array<const char*, kMessageCount> t{};
    t[0] = "Unknown file system: %d";
    t[36] = "Active";
    t[37] = "Not Active";
    t[84] = "Common folders";
    t[85] = "Hard Disk Drives";
    t[86] = "Drives with Removeable Storage";
    t[87] = "Physical drives";
    t[88] = "Disk Images";
    t[92] = "Scan of the Disk was aborted by user";
    t[105] = "--none--";
    t[147] = "Searching for lost files (%d of %d)";
    return t;
  }();
  return table;
}

}  // namespace

std::string Message(int number) {
  if (number < 0 || number >= kMessageCount) return std::to_string(number);
  const char* text = Table()[static_cast<std::size_t>(number)];
  return text != nullptr ? text : "";
}

}  // namespace vandrel
