// Byte-addressed reads of a volume for readers whose structures are not
// aligned to the storage's sectors (FAT sectors of another size, 1 KiB
// Ext blocks on 4 KiB devices).
#pragma once

#include <cstddef>
#include <cstdint>

#include "storage/bus_manager.h"

namespace vandrel {

// Reads `length` bytes at byte `offset` of the volume. On failure the
// buffer holds zeros where nothing could be read and the answer is false.
// Reads past the volume's end fail.
bool ReadVolumeBytes(TStorage& volume, std::uint64_t offset, std::uint8_t* out, std::size_t length);

}  // namespace vandrel
