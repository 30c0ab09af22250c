#include "platform/linux/sysfs.h"

#include <dirent.h>

#include <algorithm>
#include <fstream>

namespace vandrel::platform::linux_detail {

std::string ReadTextFile(const std::string& path, std::size_t limit) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::string text(limit, '\0');
  in.read(text.data(), static_cast<std::streamsize>(limit));
  text.resize(static_cast<std::size_t>(in.gcount()));
  return text;
}

std::string TrimText(const std::string& text) {
  std::size_t b = 0;
  std::size_t e = text.size();
  while (b < e && static_cast<unsigned char>(text[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(text[e - 1]) <= ' ') --e;
  return text.substr(b, e - b);
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size()) {
      const std::string digits = text.substr(i + 1, 3);
      if (digits.find_first_not_of("01234567") == std::string::npos) {
        out.push_back(static_cast<char>(std::stoi(digits, nullptr, 8)));
        i += 3;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

std::string ReadLine(const std::string& path) {
  std::string text = ReadTextFile(path, 4096);
  const auto nl = text.find('\n');
  if (nl != std::string::npos) text.resize(nl);
  return TrimText(text);
}

bool ReadNumber(const std::string& path, std::uint64_t& value) {
  const std::string line = ReadLine(path);
  if (line.empty() || !std::all_of(line.begin(), line.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  try {
    value = std::stoull(line);
  } catch (...) {
    return false;
  }
  return true;
}

std::vector<std::string> ListDirectory(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace vandrel::platform::linux_detail
