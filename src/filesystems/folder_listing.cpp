#include "filesystems/folder_listing.h"

#include <algorithm>
#include <map>
#include <tuple>
#include <unordered_set>

#include "filesystems/file_system.h"

namespace vandrel {
namespace {

// An extension longer than this is part of the name, not a type.
constexpr std::size_t kMaxKeptExtension = 32;

bool NeedsEscape(unsigned char c) { return c < 0x20 || c == 0x7F || c == '/' || c == '\\'; }

// Bytes of `text` that end on a whole UTF-8 sequence, at most `limit`.
std::size_t Utf8Cut(std::string_view text, std::size_t limit) {
  if (limit >= text.size()) return text.size();
  while (limit > 0 && (static_cast<unsigned char>(text[limit]) & 0xC0) == 0x80) --limit;
  return limit;
}

// stem + suffix + extension, the stem shortened (and marked) when the
// whole would not fit in one name.
std::string Fit(std::string_view stem, std::string_view suffix, std::string_view extension) {
  if (stem.size() + suffix.size() + extension.size() <= kMaxNameBytes)
    return std::string(stem) + std::string(suffix) + std::string(extension);
  const std::size_t room = kMaxNameBytes - 1 - suffix.size() - extension.size();
  return std::string(stem.substr(0, Utf8Cut(stem, room))) + "~" + std::string(suffix) + std::string(extension);
}

// Where the extension of an escaped name begins (size() for none).
std::size_t ExtensionAt(std::string_view name) {
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || name.size() - dot > kMaxKeptExtension) return name.size();
  return dot;
}

}  // namespace

std::string PresentName(std::string_view raw) {
  if (raw.empty()) return "(no name)";
  if (raw == ".") return "%2E";
  if (raw == "..") return "%2E%2E";
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string name;
  name.reserve(raw.size());
  for (const char ch : raw) {
    const auto c = static_cast<unsigned char>(ch);
    if (NeedsEscape(c)) {
      name += '%';
      name += kHex[c >> 4];
      name += kHex[c & 0x0F];
    } else {
      name += ch;
    }
  }
  if (name.size() <= kMaxNameBytes) return name;
  const std::size_t at = ExtensionAt(name);
  return Fit(std::string_view(name).substr(0, at), "", std::string_view(name).substr(at));
}

void PresentNames(std::vector<TFileEntry>& entries) {
  std::unordered_set<std::string> all;
  // Entries by the name they show, with what tells them apart on disk.
  std::map<std::string, std::vector<std::tuple<bool, std::int64_t, std::string, std::size_t>>> byName;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    std::string raw = std::move(entries[i].Name);
    entries[i].Name = PresentName(raw);
    all.insert(entries[i].Name);
    const bool changed = raw != entries[i].Name;
    byName[entries[i].Name].emplace_back(changed, entries[i].ObjectId, std::move(raw), i);
  }
  // Of entries sharing a name, one stored under it keeps it, else the one
  // first by record number and name on disk: whatever order the reader
  // lists them in (a cached listing comes back in another), a later lookup
  // finds the same one. The others take the first free number no other
  // entry holds.
  std::unordered_set<std::string> used;
  for (auto& [name, group] : byName) {
    if (group.size() < 2) continue;
    std::sort(group.begin(), group.end());
    const std::size_t at = ExtensionAt(name);
    const std::string stem = name.substr(0, at);
    const std::string extension = name.substr(at);
    std::size_t n = 2;
    for (std::size_t k = 1; k < group.size(); ++k) {
      for (;; ++n) {
        std::string candidate = Fit(stem, " (" + std::to_string(n) + ")", extension);
        if (all.count(candidate) == 0 && used.count(candidate) == 0) {
          used.insert(candidate);
          entries[std::get<3>(group[k])].Name = std::move(candidate);
          break;
        }
      }
    }
  }
}

}  // namespace vandrel
