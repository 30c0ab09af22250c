#include "filesystems/reader_walk.h"

#include <sstream>

#include "support/fixtures.h"

namespace vandrel::test {

ImageReader OpenImageReader(const std::string& path, TReaderChoice choice) {
  ImageReader result;
  result.drive = std::make_unique<THardDrive>(nullptr, path, 0, 0, 0, kAddressByPath);
  if (!result.drive->ValidDevice || !result.drive->Open(true, false, false)) return result;
  result.reader = MakeReader(*result.drive, choice);
  if (result.reader) {
    result.opened = result.reader->Open();
    result.reader->Prepare();
  }
  return result;
}

namespace {

void Walk(FileSystem& fs, const TFileEntry& directory, const std::string& prefix, int depth, TreeListing& out) {
  if (depth <= 0) return;
  TFileEntry entry;
  const FsHandle handle = fs.FindFirst(directory, entry);
  if (handle == kNoHandle) return;
  std::vector<TFileEntry> subdirs;
  while (fs.FindNext(handle, entry)) {
    if (entry.Name == "..") continue;
    const std::string path = prefix + "/" + entry.Name;
    if ((entry.Attributes & kAttrDeleted) != 0) {
      out.deleted[path] = entry;
      continue;
    }
    out.live[path] = entry;
    if (entry.IsDirectory()) subdirs.push_back(entry);
  }
  fs.FindClose(handle);
  for (const TFileEntry& sub : subdirs) Walk(fs, sub, prefix + "/" + sub.Name, depth - 1, out);
}

}  // namespace

TreeListing ListTree(FileSystem& fs, int maxDepth) {
  TreeListing out;
  TFileEntry root = fs.RootEntry();
  root.Storage = fs.Storage();
  root.Fs = &fs;
  Walk(fs, root, "", maxDepth, out);
  return out;
}

bool ReadWhole(FileSystem& fs, const TFileEntry& entry, std::vector<std::uint8_t>& out, std::int32_t chunk) {
  out.clear();
  const FsHandle handle = fs.OpenFile(entry);
  if (handle == kNoHandle || handle == 0) return false;
  const std::int64_t size = fs.GetFileSize(handle);
  if (chunk <= 0) chunk = std::max<std::int32_t>(fs.GetBlockSize(), 4096);
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(chunk));
  bool ok = true;
  while (static_cast<std::int64_t>(out.size()) < size) {
    const std::int32_t n = fs.Read(handle, buffer.data(), chunk);
    if (n <= 0) {
      ok = false;
      break;
    }
    out.insert(out.end(), buffer.begin(), buffer.begin() + n);
  }
  FsHandle closing = handle;
  fs.CloseFile(closing);
  return ok && static_cast<std::int64_t>(out.size()) == size;
}

std::vector<std::string> CommandLines(const std::string& command) {
  std::string output;
  if (!RunCommand(command, output)) return {};
  std::vector<std::string> lines;
  std::istringstream stream(output);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

std::string ShellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += "'\\''";
    else out.push_back(c);
  }
  return out + "'";
}

}  // namespace vandrel::test
