#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/errors.h"
#include "platform/files.h"

namespace vandrel::platform {

BlockFile::~BlockFile() { Close(); }

BlockFile::BlockFile(BlockFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), kind_(std::exchange(other.kind_, FileKind::kUnknown)) {}

BlockFile& BlockFile::operator=(BlockFile&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
    kind_ = std::exchange(other.kind_, FileKind::kUnknown);
  }
  return *this;
}

bool BlockFile::Open(const std::string& path, bool read, bool write, bool exclusive) {
  // The program never writes to a disk: whatever access is asked for, the
  // descriptor is read-only. Exclusive sharing has no Linux equivalent that
  // would not fail on mounted disks, so it is not requested either.
  (void)read;
  (void)write;
  (void)exclusive;
  Close();
  // Non-blocking: opening a FIFO for reading would wait for a writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    CaptureErrno();
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    CaptureErrno();
    ::close(fd);
    return false;
  }
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
    SetLastOsError(S_ISDIR(st.st_mode)    ? EISDIR
                   : S_ISFIFO(st.st_mode) ? kErrorIsFifo
                   : S_ISSOCK(st.st_mode) ? kErrorIsSocket
                   : S_ISCHR(st.st_mode)  ? kErrorIsCharDevice
                                          : kErrorIsOtherKind);
    ::close(fd);
    return false;
  }
  // Reads of a disk or file wait for their data as usual.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    CaptureErrno();
    ::close(fd);
    return false;
  }
  fd_ = fd;
  kind_ = S_ISBLK(st.st_mode) ? FileKind::kBlockDevice : FileKind::kRegular;
  return true;
}

void BlockFile::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  kind_ = FileKind::kUnknown;
}

std::int64_t BlockFile::ReadAt(std::uint64_t offset, void* buffer, std::uint64_t length, std::uint64_t* arrived) const {
  if (arrived != nullptr) *arrived = 0;
  if (fd_ < 0) {
    SetLastOsError(EBADF);
    return -1;
  }
  auto* out = static_cast<char*>(buffer);
  std::uint64_t done = 0;
  while (done < length) {
    const ssize_t got = ::pread(fd_, out + done, length - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      CaptureErrno();
      return -1;
    }
    if (got == 0) break;
    done += static_cast<std::uint64_t>(got);
    if (arrived != nullptr) *arrived = done;
  }
  // No prefetch advice here: the kernel's own readahead follows sequential
  // reads, and advising on every read doubled the time spent per megabyte.
  return static_cast<std::int64_t>(done);
}

std::int64_t BlockFile::Size() const {
  if (fd_ < 0) return -1;
  if (kind_ == FileKind::kBlockDevice) {
    std::uint64_t bytes = 0;
    if (::ioctl(fd_, BLKGETSIZE64, &bytes) != 0) {
      CaptureErrno();
      return -1;
    }
    return static_cast<std::int64_t>(bytes);
  }
  struct stat st {};
  if (::fstat(fd_, &st) != 0) {
    CaptureErrno();
    return -1;
  }
  return st.st_size;
}

std::uint32_t BlockFile::LogicalSectorSize() const {
  if (fd_ < 0 || kind_ != FileKind::kBlockDevice) return 0;
  int size = 0;
  if (::ioctl(fd_, BLKSSZGET, &size) != 0 || size <= 0) return 0;
  return static_cast<std::uint32_t>(size);
}

bool BlockFile::Flush() const {
  // Nothing is ever written through this descriptor; syncing a read-only
  // descriptor is harmless and tells whether it is still valid.
  if (fd_ < 0) return false;
  if (kind_ == FileKind::kRegular && ::fsync(fd_) != 0 && errno != EINVAL && errno != EROFS) {
    CaptureErrno();
    return false;
  }
  return true;
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

std::int64_t FileSizeByPath(const std::string& path) {
  BlockFile file;
  if (!file.Open(path, true, false, false)) return -1;
  return file.Size();
}

}  // namespace vandrel::platform
