// The raw export of an encrypted NTFS file: what a backup of an EFS file
// holds without its key. A file header, the file's $EFS metadata, then for
// every data stream a stream header and its still-encrypted bytes cut into
// blocks of 64 KiB, each behind a 512-byte block header.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "storage/stream.h"

namespace vandrel {

// One data stream of an encrypted file: its name ("" for the unnamed
// stream), its data size, and a stream over its raw bytes.
struct TADS {
  std::string Name;
  std::int64_t Size = 0;
  std::unique_ptr<TStream> Stream;
};
using TAdsStreams = std::vector<TADS>;

inline constexpr std::int64_t kEfsBlockData = 65536;
inline constexpr std::int64_t kEfsBlockHeader = 512;
inline constexpr std::int64_t kEfsBlock = kEfsBlockData + kEfsBlockHeader;
inline constexpr std::int64_t kEfsFileHeader = 66;
// The export carries at most this much of the $EFS metadata.
inline constexpr std::int64_t kEfsMaxMetadata = 65536;
// Streams larger than this are damage; the bound keeps every export size
// and offset far inside 63 bits, whatever the stream count.
inline constexpr std::int64_t kEfsMaxStreamSize = std::int64_t{1} << 48;
inline constexpr std::size_t kEfsMaxStreams = 4096;

// Bytes the blocks of `size` raw bytes take: 66 048 per full block, and
// 512 + the rest rounded up to 512 for a last, partial one.
std::int64_t RawDataSize(std::int64_t size);
// The file header with the first min(efsSize, 65 536) bytes of $EFS.
std::int64_t EfsHeaderLength(std::int64_t efsSize);
// One stream's part: its header (28 bytes and the UTF-16 ":name:$DATA")
// and the blocks of `storedSize` raw bytes.
std::int64_t EfsStreamPartLength(std::string_view name, std::int64_t storedSize);

// The export as a read-only stream. Block headers are built per read, so
// streams of different files never share state.
class TEncryptedFileRaw : public TStream {
 public:
  // Owns `efs` and the streams; reads the $EFS bytes once, here. Without
  // an $EFS stream the export is empty.
  TEncryptedFileRaw(std::unique_ptr<TStream> efs, TAdsStreams streams);

  std::int64_t GetSize() override { return total_; }
  std::int64_t Seek64(std::int64_t offset, int origin) override;

 protected:
  std::int64_t DoReadAt(std::int64_t offset, void* buffer, std::int64_t count, bool& failed) override;

 private:
  struct Part {
    std::vector<std::uint8_t> Header;  // the stream header
    bool Named = false;
    std::int64_t DataSize = 0;  // the stream's size on the volume
    std::int64_t Stored = 0;    // the raw bytes its stream object holds
    std::int64_t Start = 0;     // offset of the part in the export
    std::int64_t Length = 0;
    std::unique_ptr<TStream> Stream;
  };
  // The 48 meaningful bytes of block `index`'s header.
  static void BlockHeader(const Part& part, std::int64_t index, std::uint8_t* out);
  // Copies what the part holds at `offset`, at most `count` bytes; the
  // bytes handled.
  static std::int64_t ReadPart(const Part& part, std::int64_t offset, std::uint8_t* out, std::int64_t count,
                               bool& failed);

  std::vector<std::uint8_t> header_;  // file header and $EFS bytes
  std::vector<Part> parts_;
  std::int64_t total_ = 0;
};

}  // namespace vandrel
