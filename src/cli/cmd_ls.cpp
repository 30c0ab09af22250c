// `ls [-R] ADDR [PATH]`: the files of a volume.
#include <nlohmann/json.hpp>

#include <ctime>
#include <iostream>

#include "cli/volume_files.h"
#include "common/func.h"

namespace vandrel::cli {
namespace {

struct LsOptions {
  std::string address;
  std::string path = "/";
  bool recursive = false;
};

std::string FormatTime(std::int64_t unixSeconds) {
  std::tm tm{};
  const std::time_t t = static_cast<std::time_t>(unixSeconds);
  if (::gmtime_r(&t, &tm) == nullptr) return "-";
  char text[32] = {};
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &tm);
  return text;
}

void PrintEntry(const TFileEntry& entry, const std::string& path, bool json) {
  const std::int64_t mtime = entry.LastWriteTime != 0 ? FileTimeToUnix(entry.LastWriteTime) : 0;
  const TSpecialInfo special = SpecialInfo(entry);
  const bool device = special.Kind == TSpecialKind::CharDevice || special.Kind == TSpecialKind::BlockDevice;
  if (json) {
    nlohmann::json j;
    j["path"] = path;
    j["type"] = EntryTypeName(entry);
    j["size"] = entry.IsDirectory() ? 0 : entry.Size;
    j["mtime"] = mtime;
    j["attributes"] = entry.Attributes;
    if ((entry.Attributes & kAttrDamaged) != 0)
      j["damage"] = entry.Damage != TDamage::None ? DamageText(entry.Damage) : DamageText(TDamage::SizeBeyondMap);
    if ((entry.Attributes & kAttrSymlink) != 0) j["target"] = LinkTarget(entry);
    if ((entry.Attributes & kAttrJunction) != 0) j["reparse"] = "junction";
    if (special.Kind != TSpecialKind::Unknown) j["special"] = SpecialKindName(special.Kind);
    if (device) {
      j["major"] = special.Major;
      j["minor"] = special.Minor;
    }
    std::cout << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    return;
  }
  // Special files by the letters `ls -l` gives them, devices with their
  // numbers in place of a size.
  const char* const kSpecialLetters = "opcbs";
  const char type = (entry.Attributes & kAttrSymlink) ? 'l'
                    : entry.IsDirectory()              ? 'd'
                    : (entry.Attributes & kAttrSpecial) ? kSpecialLetters[static_cast<int>(special.Kind)]
                                                        : '-';
  const char deleted = (entry.Attributes & kAttrDeleted) ? 'x' : ' ';
  const std::string size = device ? Sprintf("%8u, %4u", special.Major, special.Minor)
                                  : Sprintf("%14lld", static_cast<long long>(entry.IsDirectory() ? 0 : entry.Size));
  std::cout << type << deleted << ' ' << size << ' ' << FormatTime(mtime) << ' ' << TerminalText(path);
  if ((entry.Attributes & kAttrSymlink) != 0) std::cout << " -> " << TerminalText(LinkTarget(entry));
  std::cout << "\n";
}

void ListDirectory(const TFileEntry& directory, const std::string& path, bool recursive, bool json,
                   TreeWalkGuard& guard, bool& incomplete) {
  std::vector<TFileEntry> children;
  if (!ListChildren(directory, path, children)) incomplete = true;
  for (const TFileEntry& child : children) PrintEntry(child, JoinPath(path, child.Name), json);
  if (!recursive) return;
  for (const TFileEntry& child : children) {
    if (!child.IsDirectory() || (child.Attributes & kAttrSymlink) != 0) continue;
    const std::string childPath = JoinPath(path, child.Name);
    const auto verdict = guard.Check(child);
    if (verdict != TreeWalkGuard::Verdict::Enter) {
      if (guard.Report(verdict, childPath)) incomplete = true;
      continue;
    }
    const TreeWalkGuard::Inside inside(guard, child);
    ListDirectory(child, childPath, recursive, json, guard, incomplete);
  }
}

int RunLs(Session& session, const LsOptions& options) {
  TStorage* volume = OpenVolume(session, ParseAddress(options.address));
  const TFileEntry entry = LookupEntry(volume, options.path);
  const std::string path = NormalizePath(options.path);
  const bool json = session.Options().json;
  if (!entry.IsDirectory()) {
    PrintEntry(entry, path, json);
    return kExitOk;
  }
  TreeWalkGuard guard(entry);
  bool incomplete = false;
  ListDirectory(entry, path, options.recursive, json, guard, incomplete);
  return incomplete ? kExitFailure : kExitOk;
}

const CommandRegistrar kRegistrar{{"ls", "List the files of a volume", [](CLI::App& command) {
                                     auto options = std::make_shared<LsOptions>();
                                     command.add_flag("-R,--recursive", options->recursive, "List subdirectories too");
                                     command.add_option("ADDR", options->address, "Volume address D:P or D")->required();
                                     command.add_option("PATH", options->path, "Directory or file (default /)");
                                     return std::function<int(Session&)>(
                                         [options](Session& session) { return RunLs(session, *options); });
                                   }}};

}  // namespace
}  // namespace vandrel::cli
