#include "platform/settings.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace vandrel::platform {
namespace {

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t' || text.front() == '\r')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

bool WriteLines(const std::string& path, const std::vector<std::string>& lines) {
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    for (const std::string& line : lines) out << line << "\r\n";
    if (!out.flush()) return false;
  }
  return std::rename(temporary.c_str(), path.c_str()) == 0;
}

// The section name of a "[name]" line.
bool SectionHeader(std::string_view line, std::string_view& name) {
  line = TrimBlanks(line);
  if (line.size() < 2 || line.front() != '[') return false;
  const auto close = line.find(']');
  if (close == std::string_view::npos) return false;
  name = TrimBlanks(line.substr(1, close - 1));
  return true;
}

// Key of a "key=value" line; false for comments and lines without '='.
bool KeyOf(std::string_view line, std::string_view& key, std::string_view& value) {
  const std::string_view trimmed = TrimBlanks(line);
  if (trimmed.empty() || trimmed.front() == ';') return false;
  const auto eq = trimmed.find('=');
  if (eq == std::string_view::npos) return false;
  key = TrimBlanks(trimmed.substr(0, eq));
  value = TrimBlanks(trimmed.substr(eq + 1));
  return true;
}

// Index range [first, last) of the body of a section; false when absent.
bool FindSection(const std::vector<std::string>& lines, std::string_view section, std::size_t& first, std::size_t& last) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string_view name;
    if (!SectionHeader(lines[i], name) || !SameText(name, section)) continue;
    first = i + 1;
    last = first;
    while (last < lines.size() && !SectionHeader(lines[last], name)) ++last;
    return true;
  }
  return false;
}

}  // namespace

std::optional<std::string> TIniFile::Find(std::string_view section, std::string_view key) const {
  const std::vector<std::string> lines = ReadLines(path_);
  std::size_t first = 0, last = 0;
  if (!FindSection(lines, section, first, last)) return std::nullopt;
  for (std::size_t i = first; i < last; ++i) {
    std::string_view k, v;
    if (!KeyOf(lines[i], k, v) || !SameText(k, key)) continue;
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) v = v.substr(1, v.size() - 2);
    std::string result(v.substr(0, kIniValueLimit));
    return result;
  }
  return std::nullopt;
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key, std::string_view defaultValue) const {
  std::string result = Find(section, key).value_or(std::string(defaultValue));
  if (result.size() > kIniValueLimit) result.resize(kIniValueLimit);
  return result;
}

long long TIniFile::ReadInteger(std::string_view section, std::string_view key, long long defaultValue) const {
  const std::string text = ReadString(section, key, "");
  if (text.empty()) return defaultValue;
  try {
    std::size_t used = 0;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const long long value = std::stoll(hex ? text.substr(2) : text, &used, hex ? 16 : 10);
    return value;
  } catch (...) {
    return defaultValue;
  }
}

std::vector<std::string> TIniFile::ReadSection(std::string_view section) const {
  const std::vector<std::string> lines = ReadLines(path_);
  std::vector<std::string> keys;
  std::size_t first = 0, last = 0;
  if (!FindSection(lines, section, first, last)) return keys;
  for (std::size_t i = first; i < last; ++i) {
    std::string_view k, v;
    if (KeyOf(lines[i], k, v)) keys.emplace_back(k);
  }
  return keys;
}

bool TIniFile::SectionExists(std::string_view section) const {
  std::size_t first = 0, last = 0;
  return FindSection(ReadLines(path_), section, first, last);
}

bool TIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  std::vector<std::string> lines = ReadLines(path_);
  const std::string line = std::string(key) + "=" + std::string(value);
  std::size_t first = 0, last = 0;
  if (!FindSection(lines, section, first, last)) {
    lines.push_back("[" + std::string(section) + "]");
    lines.push_back(line);
    return WriteLines(path_, lines);
  }
  for (std::size_t i = first; i < last; ++i) {
    std::string_view k, v;
    if (KeyOf(lines[i], k, v) && SameText(k, key)) {
      lines[i] = line;
      return WriteLines(path_, lines);
    }
  }
  // After the section's last non-blank line.
  std::size_t at = last;
  while (at > first && TrimBlanks(lines[at - 1]).empty()) --at;
  lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), line);
  return WriteLines(path_, lines);
}

bool TIniFile::DeleteKey(std::string_view section, std::string_view key) {
  std::vector<std::string> lines = ReadLines(path_);
  std::size_t first = 0, last = 0;
  if (!FindSection(lines, section, first, last)) return true;
  for (std::size_t i = first; i < last; ++i) {
    std::string_view k, v;
    if (KeyOf(lines[i], k, v) && SameText(k, key)) {
      lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i));
      return WriteLines(path_, lines);
    }
  }
  return true;
}

bool TIniFile::EraseSection(std::string_view section) {
  std::vector<std::string> lines = ReadLines(path_);
  std::size_t first = 0, last = 0;
  if (!FindSection(lines, section, first, last)) return true;
  lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(first - 1), lines.begin() + static_cast<std::ptrdiff_t>(last));
  return WriteLines(path_, lines);
}

std::string SettingsFilePath() { return ProgramFolder() + "/rvk.ini"; }

}  // namespace vandrel::platform
