// The raw export of encrypted files over streams of any size and name,
// read through any sequence of seeks and reads: every read must deliver
// exactly what lies between the position and the end, and nothing may
// read outside a buffer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/endian.h"
#include "filesystems/ntfs/efs.h"
#include "support/memory_stream.h"

namespace {

// Consumes input bytes front to back; zeros once it runs out.
struct Input {
  vandrel::ByteSpan bytes;
  std::size_t at = 0;
  std::uint64_t Take(unsigned width) {
    const std::uint64_t v = vandrel::LeN(bytes, at, width);
    at += width;
    return v;
  }
  bool Done() const { return at >= bytes.size(); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in{vandrel::ByteSpan(data, size)};
  const auto efsSize = static_cast<std::size_t>(in.Take(3) % 70000);
  const std::size_t count = in.Take(1) % 6;
  vandrel::TAdsStreams streams;
  for (std::size_t i = 0; i < count; ++i) {
    vandrel::TADS s;
    const std::size_t nameLength = in.Take(1) % 40;
    for (std::size_t k = 0; k < nameLength; ++k) s.Name.push_back(static_cast<char>(in.Take(1)));
    // The data size the record claims need not match what the stream holds.
    s.Size = static_cast<std::int64_t>(in.Take(8) >> 1);
    const auto stored = static_cast<std::size_t>(in.Take(3) % 300000);
    s.Stream = std::make_unique<vandrel::test::MemoryStream>(std::vector<std::uint8_t>(stored, static_cast<std::uint8_t>(i)));
    streams.push_back(std::move(s));
  }
  std::unique_ptr<vandrel::TStream> efs;
  if (efsSize > 0) efs = std::make_unique<vandrel::test::MemoryStream>(std::vector<std::uint8_t>(efsSize, 0xEF));
  vandrel::TEncryptedFileRaw x(std::move(efs), std::move(streams));
  const std::int64_t total = x.GetSize();
  std::vector<std::uint8_t> buffer;
  for (int op = 0; op < 64 && !in.Done(); ++op) {
    const int origin = static_cast<int>(in.Take(1) % 3);
    const auto offset = static_cast<std::int64_t>(in.Take(8));
    const std::int64_t position = x.Seek64(offset, origin);
    if (position < 0 || position > total) std::abort();
    const auto want = static_cast<std::int64_t>(in.Take(3) % 200000);
    buffer.assign(static_cast<std::size_t>(want), 0);
    const std::int64_t got = x.Read(buffer.data(), want);
    if (got != std::clamp<std::int64_t>(total - position, 0, want) || x.Position() != position + got) std::abort();
  }
  return 0;
}
