#include "volumes/partitions/system_type_names.h"

#include <libfdisk/libfdisk.h>

#include <mutex>

namespace vandrel {
namespace {

// One context for the program: it only serves libfdisk's type table and
// never touches a device.
struct FdiskTable {
  FdiskTable() : context(fdisk_new_context()) {
    if (context != nullptr) gpt = fdisk_get_label(context, "gpt");
  }
  ~FdiskTable() {
    if (context != nullptr) fdisk_unref_context(context);
  }
  FdiskTable(const FdiskTable&) = delete;
  FdiskTable& operator=(const FdiskTable&) = delete;

  std::mutex lock;
  fdisk_context* context = nullptr;
  fdisk_label* gpt = nullptr;
};

}  // namespace

std::string SystemGptTypeName(const std::string& guidText) {
  static FdiskTable table;
  std::lock_guard<std::mutex> guard(table.lock);
  if (table.gpt == nullptr) return {};
  fdisk_parttype* type = fdisk_label_get_parttype_from_string(table.gpt, guidText.c_str());
  if (type == nullptr) return {};
  const char* name = fdisk_parttype_get_name(type);
  std::string result = name != nullptr ? name : "";
  fdisk_unref_parttype(type);
  return result;
}

}  // namespace vandrel
