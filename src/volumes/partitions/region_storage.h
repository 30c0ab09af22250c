// A stretch of a device seen as a storage of its own, before (or without)
// a partition object: used to probe a table entry's boot sector.
#pragma once

#include <cstdint>
#include <string>

#include "storage/bus_manager.h"

namespace vandrel {

class TRegionStorage final : public TStorage {
 public:
  TRegionStorage(TStorage& device, std::int64_t start, std::int64_t count);

  bool Read(std::uint8_t* buffer, std::int32_t count, std::int64_t sector) override;
  bool Open(bool read, bool write, bool exclusive) override { return device_.Open(read, write, exclusive); }
  void Close(bool releaseReader) override;
  std::string GetName(bool shortName) override { return device_.GetName(shortName); }
  TVolumeServices* Services() override { return device_.Services(); }

 private:
  TStorage& device_;
  std::int64_t start_;
};

}  // namespace vandrel
