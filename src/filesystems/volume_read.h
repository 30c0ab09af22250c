// Byte-addressed reads of a volume for readers whose structures are not
// aligned to the storage's sectors (FAT sectors of another size, 1 KiB
// Ext blocks on 4 KiB devices).
#pragma once

#include <cstddef>
#include <cstdint>

#include "storage/bus_manager.h"

namespace vandrel {

// What a read does at the volume's end and with sectors that fail.
enum class TVolumeReadRule {
  // A range past the end fails whole; a piece that fails reads as zeros.
  Strict,
  // A range past the end reads what exists and zeros beyond; a piece that
  // fails keeps what the storage delivered (zeros where nothing came), so
  // a scan still sees the good sectors around a bad one.
  Lenient,
};

// Reads `length` bytes at byte `offset` of the volume. On failure the
// buffer holds zeros where nothing could be read and the answer is false.
bool ReadVolumeBytes(TStorage& volume, std::uint64_t offset, std::uint8_t* out, std::size_t length,
                     TVolumeReadRule rule = TVolumeReadRule::Strict);

}  // namespace vandrel
