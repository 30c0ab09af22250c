// An owning list of directory entries handed out one by one.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "filesystems/file_system.h"

namespace vandrel {

class TDirListEx {
 public:
  std::int32_t Add(const TFileEntry& entry);
  // nullptr when the index is outside 0..Count()-1.
  TFileEntry* Items(std::int32_t index);
  std::int32_t Count() const { return static_cast<std::int32_t>(items_.size()); }
  void Clear() { items_.clear(); }

 private:
  std::vector<std::unique_ptr<TFileEntry>> items_;
};

}  // namespace vandrel
