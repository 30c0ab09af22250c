// Hand-made partition tables for the cases no tool produces.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/crc32.h"
#include "volumes/partitions/gpt_guides.h"

namespace vandrel::test {

class DiskBuilder {
 public:
  DiskBuilder(std::int64_t sectors, std::int32_t sectorSize)
      : sectorSize_(sectorSize), bytes_(static_cast<std::size_t>(sectors * sectorSize), 0) {}

  std::int64_t Sectors() const { return static_cast<std::int64_t>(bytes_.size()) / sectorSize_; }
  std::vector<std::uint8_t>& Bytes() { return bytes_; }
  std::uint8_t* At(std::int64_t sector, std::size_t offset = 0) {
    return bytes_.data() + sector * sectorSize_ + static_cast<std::int64_t>(offset);
  }

  void Put32(std::int64_t sector, std::size_t offset, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) At(sector, offset)[i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
  void Put64(std::int64_t sector, std::size_t offset, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) At(sector, offset)[i] = static_cast<std::uint8_t>(v >> (8 * i));
  }

  // One of the four entries of the table at `sector`, with the signature.
  void MbrEntry(std::int64_t sector, int index, std::uint8_t type, std::uint32_t start, std::uint32_t size,
                std::uint8_t flag = 0) {
    const std::size_t at = 446 + 16 * static_cast<std::size_t>(index);
    At(sector, at)[0] = flag;
    At(sector, at)[4] = type;
    Put32(sector, at + 8, start);
    Put32(sector, at + 12, size);
    At(sector, 510)[0] = 0x55;
    At(sector, 511)[0] = 0xAA;
  }

  struct GptPart {
    std::string typeGuid;
    std::int64_t first;
    std::int64_t last;
    std::string name;
  };

  // A header at `headerSector` with its entry array at `arraySector`.
  // `count`/`entrySize` are what the header announces; the entries are laid
  // out with `stride` bytes each.
  void Gpt(std::int64_t headerSector, std::int64_t arraySector, const std::vector<GptPart>& parts,
           std::uint32_t count = 128, std::uint32_t entrySize = 128, std::uint32_t stride = 128) {
    for (std::size_t i = 0; i < parts.size(); ++i) {
      std::uint8_t* e = At(arraySector) + i * stride;
      const TGuid type = ParseGuid(parts[i].typeGuid);
      std::copy(type.begin(), type.end(), e);
      for (int b = 0; b < 16; ++b) e[16 + b] = static_cast<std::uint8_t>(0xA0 + i + b);
      for (int b = 0; b < 8; ++b) {
        e[32 + b] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(parts[i].first) >> (8 * b));
        e[40 + b] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(parts[i].last) >> (8 * b));
      }
      for (std::size_t c = 0; c < parts[i].name.size() && c < 36; ++c) e[56 + 2 * c] = static_cast<std::uint8_t>(parts[i].name[c]);
    }
    std::uint8_t* h = At(headerSector);
    std::copy_n("EFI PART", 8, h);
    Put32(headerSector, 8, 0x00010000);
    Put32(headerSector, 12, 92);
    Put64(headerSector, 24, static_cast<std::uint64_t>(headerSector));
    Put64(headerSector, 32, static_cast<std::uint64_t>(headerSector == 1 ? Sectors() - 1 : 1));
    Put64(headerSector, 40, 34);
    Put64(headerSector, 48, static_cast<std::uint64_t>(Sectors() - 34));
    Put64(headerSector, 72, static_cast<std::uint64_t>(arraySector));
    Put32(headerSector, 80, count);
    Put32(headerSector, 84, entrySize);
    const std::uint64_t arrayBytes = std::uint64_t{count} * entrySize;
    if (arrayBytes <= bytes_.size() - static_cast<std::size_t>(arraySector * sectorSize_))
      Put32(headerSector, 88, Crc32({At(arraySector), static_cast<std::size_t>(arrayBytes)}));
    Put32(headerSector, 16, 0);
    Put32(headerSector, 16, Crc32({h, 92}));
  }

 private:
  std::int32_t sectorSize_;
  std::vector<std::uint8_t> bytes_;
};

}  // namespace vandrel::test
