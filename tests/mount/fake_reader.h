// A small reader over a map of folders, for the stream and mount tests:
// it records what it is asked and can be told to misbehave.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "filesystems/file_system.h"

namespace vandrel::test {

struct FakeItem {
  std::string name;
  std::uint32_t attributes = kAttrArchive;
  std::vector<std::uint8_t> data;
  std::int64_t sizeOverride = -1;  // the size listed, when not data.size()
  std::uint64_t time = 0;
};

class FakeReader : public FileSystem {
 public:
  explicit FakeReader(TStorage* storage, std::int32_t blockSize = 65536) : FileSystem(storage), blockSize_(blockSize) {}

  // Folder paths as the reader takes them: "/" and "/a/b" (no trailing '/').
  void Add(const std::string& folder, FakeItem item) { folders_[folder].push_back(std::move(item)); }
  static std::vector<std::uint8_t> Pattern(std::size_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : bytes) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      b = static_cast<std::uint8_t>(x);
    }
    return bytes;
  }

  TFileSystemKind GetKind() override { return TFileSystemKind::kFat32; }
  bool Open() override { return true; }
  void Prepare() override {}
  bool IsSectorInUse(std::int64_t) override { return false; }
  std::int64_t GetDataStartSector(const TFileEntry&) override { return 0; }
  std::string GetSectorList(const TFileEntry&) override { return {}; }
  std::int32_t GetBlockSize() override { return blockSize_; }

  FsHandle FindFirstByPath(std::string_view path, TFileEntry& out) override {
    std::lock_guard lock(mutex_);
    askedPaths.emplace_back(path);
    std::string folder(path);
    if (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    const auto it = folders_.find(folder);
    if (it == folders_.end() || it->second.empty()) return kNoHandle;
    const FsHandle handle = ++nextHandle_;
    finds_[handle] = {folder, 0};
    FillLocked(handle, out);
    return handle;
  }
  // A folder entry stands for its path: the root, or the folder item.
  FsHandle FindFirst(const TFileEntry& directory, TFileEntry& out) override {
    std::string path = "/";
    {
      std::lock_guard lock(mutex_);
      if (directory.ObjectId != 0) {
        const auto folder = static_cast<std::size_t>(directory.ObjectId >> 20);
        const FakeItem* item = ItemOf(directory.ObjectId);
        if (item == nullptr) return kNoHandle;
        auto it = folders_.begin();
        std::advance(it, static_cast<std::ptrdiff_t>(folder));
        path = (it->first == "/" ? std::string() : it->first) + "/" + item->name;
      }
    }
    return FindFirstByPath(path, out);
  }
  bool FindNext(FsHandle handle, TFileEntry& out) override {
    std::lock_guard lock(mutex_);
    const auto it = finds_.find(handle);
    if (it == finds_.end()) return false;
    ++it->second.second;
    return FillLocked(handle, out);
  }
  void FindClose(FsHandle handle) override {
    std::lock_guard lock(mutex_);
    finds_.erase(handle);
  }
  std::size_t OpenFinds() {
    std::lock_guard lock(mutex_);
    return finds_.size();
  }

  FsHandle OpenFile(const TFileEntry& entry) override {
    std::lock_guard lock(mutex_);
    if (failOpen) return kNoHandle;
    const FakeItem* item = ItemOf(entry.ObjectId);
    if (item == nullptr) return kNoHandle;
    const FsHandle handle = ++nextHandle_;
    files_[handle] = {item, 0};
    return handle;
  }
  std::int32_t ReadAt(FsHandle handle, std::int64_t position, void* buffer, std::int32_t count) override {
    std::lock_guard lock(mutex_);
    reads.push_back(count);
    const auto it = files_.find(handle);
    if (it == files_.end() || count <= 0 || position < 0 || failReads) return 0;
    const auto& data = it->second.first->data;
    const std::int64_t limit = shortReadsAt >= 0 ? std::min<std::int64_t>(shortReadsAt, data.size()) : data.size();
    const std::int64_t n = std::max<std::int64_t>(0, std::min<std::int64_t>(count, limit - position));
    if (n > 0) std::memcpy(buffer, data.data() + position, static_cast<std::size_t>(n));
    return static_cast<std::int32_t>(n);
  }
  bool CloseFile(FsHandle& handle) override {
    std::lock_guard lock(mutex_);
    files_.erase(handle);
    handle = kNoHandle;
    return true;
  }
  std::int64_t Seek(FsHandle handle, int origin, std::int64_t offset) override {
    std::lock_guard lock(mutex_);
    ++seeks;
    const auto it = files_.find(handle);
    if (it == files_.end()) return 0;
    const auto size = static_cast<std::int64_t>(it->second.first->data.size());
    std::int64_t p = origin == kSeekBegin ? offset : origin == kSeekCurrent ? it->second.second + offset : size + offset;
    it->second.second = std::clamp<std::int64_t>(p, 0, size);
    return it->second.second;
  }
  bool IsEof(FsHandle) override { return false; }
  std::int64_t GetFileSize(FsHandle handle) override {
    std::lock_guard lock(mutex_);
    const auto it = files_.find(handle);
    return it == files_.end() ? 0 : static_cast<std::int64_t>(it->second.first->data.size());
  }
  std::size_t OpenFiles() {
    std::lock_guard lock(mutex_);
    return files_.size();
  }

  std::vector<std::string> askedPaths;
  std::vector<std::int32_t> reads;
  int seeks = 0;
  bool failOpen = false;
  bool failReads = false;
  std::int64_t shortReadsAt = -1;

 private:
  // Object ids: folder index << 20 | item index + 1.
  const FakeItem* ItemOf(std::int64_t id) const {
    const auto folderIndex = static_cast<std::size_t>(id >> 20);
    const auto itemIndex = static_cast<std::size_t>((id & 0xFFFFF) - 1);
    if (folderIndex >= folders_.size()) return nullptr;
    auto it = folders_.begin();
    std::advance(it, static_cast<std::ptrdiff_t>(folderIndex));
    return itemIndex < it->second.size() ? &it->second[itemIndex] : nullptr;
  }
  bool FillLocked(FsHandle handle, TFileEntry& out) {
    const auto& [folder, index] = finds_[handle];
    const auto it = folders_.find(folder);
    if (index >= it->second.size()) return false;
    const FakeItem& item = it->second[index];
    out.Clear();
    out.Name = item.name;
    out.Attributes = item.attributes;
    out.Size = item.sizeOverride >= 0 ? item.sizeOverride : static_cast<std::int64_t>(item.data.size());
    out.CreationTime = out.LastAccessTime = out.LastWriteTime = item.time;
    out.ObjectId = (static_cast<std::int64_t>(std::distance(folders_.begin(), it)) << 20) |
                   static_cast<std::int64_t>(index + 1);
    out.Fs = this;
    out.Storage = storage_;
    return true;
  }

  std::int32_t blockSize_;
  std::mutex mutex_;
  std::map<std::string, std::vector<FakeItem>> folders_;
  std::map<FsHandle, std::pair<std::string, std::size_t>> finds_;
  std::map<FsHandle, std::pair<const FakeItem*, std::int64_t>> files_;
  FsHandle nextHandle_ = 100;
};

}  // namespace vandrel::test
