#include "cli/volume_files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <vector>

#include "common/func.h"
#include "common/error_codes.h"

namespace vandrel::cli {

TStorage* OpenVolume(Session& session, const Address& address) {
  TStorage* volume = ResolveFileSystemVolume(session, address);
  TDeviceManager& devices = session.Devices();
  if (!devices.CreateReader(volume, false, TReaderChoice::kByKind) || !volume->Reader)
    throw CliError(kExitFailure, address.text + ": " + ErrorText(kErrNotSupported));
  return volume;
}

std::string NormalizePath(const std::string& path) {
  std::string out(1, kPathDelimiter);
  std::size_t begin = 0;
  while (begin <= path.size()) {
    std::size_t end = path.find(kPathDelimiter, begin);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(begin, end - begin);
    if (!part.empty() && part != ".") {
      if (out.size() > 1) out.push_back(kPathDelimiter);
      out += part;
    }
    begin = end + 1;
  }
  return out;
}

std::string JoinPath(const std::string& directory, const std::string& name) {
  if (directory.empty() || directory == std::string(1, kPathDelimiter)) return std::string(1, kPathDelimiter) + name;
  return directory + kPathDelimiter + name;
}

TFileEntry LookupEntry(TStorage* volume, const std::string& path) {
  TFileEntry entry;
  const std::string normalized = NormalizePath(path);
  if (!volume->Reader->LookupPath(normalized, entry, true, nullptr))
    throw CliError(kExitFailure, "not found: " + normalized);
  if (normalized == std::string(1, kPathDelimiter)) entry.Attributes |= kAttrDirectory;
  entry.Storage = volume;
  entry.Fs = volume->Reader;
  return entry;
}

// The reader an entry came from: its own, else its volume's.
static FileSystem* EntryReader(const TFileEntry& entry) {
  if (entry.Fs != nullptr) return entry.Fs;
  return entry.Storage != nullptr ? entry.Storage->Reader : nullptr;
}

std::string LinkTarget(const TFileEntry& entry) {
  std::string target;
  FileSystem* reader = EntryReader(entry);
  if (reader == nullptr || !reader->ReadLinkTarget(entry, target)) target.clear();
  return target;
}

TSpecialInfo SpecialInfo(const TFileEntry& entry) {
  TSpecialInfo info;
  FileSystem* reader = EntryReader(entry);
  if (reader == nullptr || (entry.Attributes & kAttrSpecial) == 0 || !reader->ReadSpecialInfo(entry, info)) info = TSpecialInfo{};
  return info;
}

const char* SpecialKindName(TSpecialKind kind) {
  switch (kind) {
    case TSpecialKind::Fifo: return "fifo";
    case TSpecialKind::CharDevice: return "char";
    case TSpecialKind::BlockDevice: return "block";
    case TSpecialKind::Socket: return "socket";
    case TSpecialKind::Unknown: break;
  }
  return "unknown";
}

const char* EntryTypeName(const TFileEntry& entry) {
  if ((entry.Attributes & kAttrSymlink) != 0) return "symlink";
  if ((entry.Attributes & kAttrSpecial) != 0) return "other";
  if (entry.IsDirectory()) return "dir";
  return "file";
}

bool ListChildren(const TFileEntry& directory, const std::string& path, std::vector<TFileEntry>& children) {
  FileSystem* reader = directory.Fs != nullptr ? directory.Fs : directory.Storage->Reader;
  TFolderListing listing = reader->ListFolder(directory);
  children = std::move(listing.Entries);
  if (!listing.Readable) {
    std::cerr << "vandrel-cli: cannot list " << TerminalText(path);
    if (listing.Damage != TDamage::None) std::cerr << " (" << DamageText(listing.Damage) << ")";
    std::cerr << "\n";
    return false;
  }
  if (listing.Damage != TDamage::None) {
    std::cerr << "vandrel-cli: " << TerminalText(path) << ": some entries cannot be read (" << DamageText(listing.Damage)
              << ")\n";
    return false;
  }
  if (listing.Truncated) {
    std::cerr << "vandrel-cli: " << TerminalText(path) << ": more than " << kMaxFolderEntries
              << " entries, the rest left out\n";
    return false;
  }
  return true;
}

std::string TerminalText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    if (c < 0x20 || c == 0x7F) {
      out += Sprintf("\\x%02X", c);
    } else if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
      out += Sprintf("\\u%04X", next);  // C1 controls, U+0080-U+009F
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

namespace {
// Recursion stops here whatever the volume claims.
constexpr std::size_t kMaxWalkDepth = 256;
// Times one directory may be entered in a walk: junctions that reach it
// from many places repeat it, damage that multiplies it is cut short.
constexpr int kMaxEntries = 16;

bool IsReparsePoint(const TFileEntry& e) { return (e.Attributes & kAttrReparsePoint) != 0; }
}  // namespace

TreeWalkGuard::TreeWalkGuard(const TFileEntry& top) { Enter(top); }

TreeWalkGuard::Verdict TreeWalkGuard::Check(const TFileEntry& directory) const {
  if (path_.size() > kMaxWalkDepth) return Verdict::Refused;
  if (directory.ObjectId == 0) return Verdict::Enter;  // no identity to compare
  const auto it = std::find_if(path_.begin(), path_.end(), [&](const Step& s) { return s.id == directory.ObjectId; });
  if (it != path_.end()) {
    const bool throughJunction = IsReparsePoint(directory) || std::any_of(it, path_.end(), [](const Step& s) { return s.junction; });
    return throughJunction ? Verdict::JunctionLoop : Verdict::Refused;
  }
  const auto count = entered_.find(directory.ObjectId);
  return count != entered_.end() && count->second >= kMaxEntries ? Verdict::Refused : Verdict::Enter;
}

void TreeWalkGuard::Enter(const TFileEntry& directory) {
  path_.push_back({directory.ObjectId, IsReparsePoint(directory)});
  if (directory.ObjectId != 0) ++entered_[directory.ObjectId];
}

void TreeWalkGuard::Leave() {
  if (!path_.empty()) path_.pop_back();
}

bool TreeWalkGuard::Report(Verdict verdict, const std::string& path) const {
  if (verdict == Verdict::JunctionLoop) {
    std::cerr << "vandrel-cli: not descending into " << TerminalText(path) << " (a junction leads back to a folder above it)\n";
    return false;
  }
  std::cerr << "vandrel-cli: not descending into " << TerminalText(path) << " (directory loop or too deep)\n";
  return true;
}

std::uint64_t CopyEntryData(TDeviceManager& devices, const TFileEntry& entry, const std::string& streamName,
                            const std::function<void(const std::uint8_t*, std::size_t)>& sink,
                            const std::function<void(std::uint64_t)>& progress, std::string* damage) {
  const FsHandle file = streamName.empty() ? devices.OpenEntry(entry)
                                           : devices.OpenEntryStream(entry, TStreamId::Named(streamName));
  if (file == kNoHandle) throw CliError(kExitFailure, "cannot open: " + entry.Name);
  const std::int64_t size = devices.EntrySize(file);
  FileSystem* reader = EntryReader(entry);
  if (reader == nullptr) throw CliError(kExitFailure, "cannot open: " + entry.Name);
  // Whole blocks of the reader's size, 128 KiB per call: a buffer that stays in
  // the CPU cache copies faster than a larger one.
  const std::int32_t block = std::max<std::int32_t>(reader->GetBlockSize(), 4096);
  const std::int32_t chunk = std::max<std::int32_t>(block, (1 << 17) / block * block);
  // An unreadable range is passed over one cluster at a time.
  const std::uint64_t granule = std::clamp<std::uint64_t>(reader->ClusterSize(), 512, static_cast<std::uint64_t>(chunk));
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(chunk));
  std::uint64_t done = 0;
  std::uint64_t unreadable = 0;
  TDamage why = streamName.empty() ? entry.Damage : TDamage::None;
  try {
    while (size < 0 || done < static_cast<std::uint64_t>(size)) {
      std::int32_t want = chunk;
      if (size >= 0) want = static_cast<std::int32_t>(std::min<std::uint64_t>(chunk, static_cast<std::uint64_t>(size) - done));
      const std::int32_t got = devices.ReadEntryAt(file, static_cast<std::int64_t>(done), buffer.data(), want);
      std::uint64_t bytes = got > 0 ? static_cast<std::uint64_t>(std::min(got, want)) : 0;
      if (bytes == 0) {
        if (size < 0) break;
        // Zeros keep every later byte at its place; the range is counted.
        bytes = std::min(granule - done % granule, static_cast<std::uint64_t>(size) - done);
        std::fill_n(buffer.data(), bytes, std::uint8_t{0});
        unreadable += bytes;
      }
      sink(buffer.data(), static_cast<std::size_t>(bytes));
      done += bytes;
      if (progress) progress(bytes);
    }
  } catch (...) {
    devices.CloseEntry(file);
    throw;
  }
  if (why == TDamage::None) why = devices.EntryDamage(file);
  devices.CloseEntry(file);
  if (why == TDamage::None && streamName.empty() && (entry.Attributes & kAttrDamaged) != 0) why = TDamage::SizeBeyondMap;
  std::string problem;
  if (why != TDamage::None) {
    problem = std::string("damaged (") + DamageText(why) + ")";
    if (why == TDamage::SizeBeyondMap) problem += ", read as what the map covers";
  }
  if (unreadable > 0) {
    if (!problem.empty()) problem += "; ";
    problem += std::to_string(unreadable) + " unreadable byte(s) written as zeros";
  }
  if (!problem.empty()) problem = entry.Name + ": " + problem;
  if (damage != nullptr) *damage = problem;
  else if (!problem.empty()) throw CliError(kExitFailure, problem);
  return done;
}

void WriteAll(std::FILE* out, const std::uint8_t* data, std::size_t size) {
  if (size > 0 && std::fwrite(data, 1, size, out) != size)
    throw CliError(kExitFailure, std::string("write error: ") + std::strerror(errno));
}

}  // namespace vandrel::cli
