// Small readers of sysfs and procfs files shared by the Linux units.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vandrel::platform::linux_detail {

// Whole file as text, or "" when it cannot be read (sysfs files are small).
std::string ReadTextFile(const std::string& path, std::size_t limit = 65536);
// First line, trimmed.
std::string ReadLine(const std::string& path);
bool ReadNumber(const std::string& path, std::uint64_t& value);
std::vector<std::string> ListDirectory(const std::string& path);
std::string TrimText(const std::string& text);
// Undoes the octal escapes (\040 for a blank) of /proc/self/mountinfo.
std::string Unescape(const std::string& text);

}  // namespace vandrel::platform::linux_detail
