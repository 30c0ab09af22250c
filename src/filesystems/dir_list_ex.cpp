#include "filesystems/dir_list_ex.h"

namespace vandrel {

std::int32_t TDirListEx::Add(const TFileEntry& entry) {
  items_.push_back(std::make_unique<TFileEntry>(entry));
  return static_cast<std::int32_t>(items_.size() - 1);
}

TFileEntry* TDirListEx::Items(std::int32_t index) {
  if (index < 0 || index >= Count()) return nullptr;
  return items_[static_cast<std::size_t>(index)].get();
}

}  // namespace vandrel
