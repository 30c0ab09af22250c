// Raw read access to files and block devices.
#pragma once

#include <cstdint>
#include <string>

namespace vandrel::platform {

enum class FileKind { kUnknown, kRegular, kBlockDevice };

// One open file or device. Reads never move a shared position, so one
// object may serve positioned reads in any order.
class BlockFile {
 public:
  BlockFile() = default;
  ~BlockFile();
  BlockFile(const BlockFile&) = delete;
  BlockFile& operator=(const BlockFile&) = delete;
  BlockFile(BlockFile&& other) noexcept;
  BlockFile& operator=(BlockFile&& other) noexcept;

  // Opens an existing regular file or block device; anything else (a
  // folder, FIFO, socket or character device) is refused without waiting
  // on it. On failure the last OS error is set.
  bool Open(const std::string& path, bool read, bool write, bool exclusive);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  FileKind Kind() const { return kind_; }

  // Bytes read (short at the end of a file), or -1 with the last error set;
  // `arrived`, when given, learns how many bytes came in before an error.
  std::int64_t ReadAt(std::uint64_t offset, void* buffer, std::uint64_t length, std::uint64_t* arrived = nullptr) const;
  // Size in bytes: device capacity (64-bit) or file length; -1 on failure.
  std::int64_t Size() const;
  // Logical sector size of a block device; 0 for files or on failure.
  std::uint32_t LogicalSectorSize() const;
  bool Flush() const;

 private:
  int fd_ = -1;
  FileKind kind_ = FileKind::kUnknown;
};

bool FileExists(const std::string& path);
// Size of a file or device by path without keeping it open; -1 on failure.
std::int64_t FileSizeByPath(const std::string& path);

}  // namespace vandrel::platform
