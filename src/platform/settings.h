// The settings store: an INI file with the semantics of the Windows
// profile-string functions, so the program reads and writes the same
// files on every platform.
//   - Sections and keys are matched without regard to (ASCII) case.
//   - Blanks around keys and values are dropped; a value in matching
//     double or single quotes loses them.
//   - Values are cut at kIniValueLimit characters.
//   - Lines starting with ';' are comments; the first '=' splits a line.
//   - The file is read at every call (several programs may share it) and
//     created on the first write; a write keeps every other line as it was.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vandrel::platform {

inline constexpr std::size_t kIniValueLimit = 1024;

class TIniFile {
 public:
  explicit TIniFile(std::string path) : path_(std::move(path)) {}

  const std::string& Path() const { return path_; }
  std::string ReadString(std::string_view section, std::string_view key, std::string_view defaultValue) const;
  // The value, or nothing when the key is absent (an empty value is a value).
  std::optional<std::string> Find(std::string_view section, std::string_view key) const;
  // The decimal (or 0x hexadecimal) value; `defaultValue` when absent or not a number.
  long long ReadInteger(std::string_view section, std::string_view key, long long defaultValue) const;
  // Keys of a section in file order.
  std::vector<std::string> ReadSection(std::string_view section) const;
  bool SectionExists(std::string_view section) const;
  // False when the file cannot be written.
  bool WriteString(std::string_view section, std::string_view key, std::string_view value);
  bool DeleteKey(std::string_view section, std::string_view key);
  bool EraseSection(std::string_view section);

 private:
  std::string path_;
};

// Folder of the running program, without a trailing separator.
std::string ProgramFolder();
// The user's home folder.
std::string HomeFolder();
// The program's settings file "rvk.ini" beside the program.
std::string SettingsFilePath();

}  // namespace vandrel::platform
