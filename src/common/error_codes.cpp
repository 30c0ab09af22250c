#include "common/error_codes.h"

#include <array>

namespace vandrel {

std::string ErrorText(int code) {
  static const std::array<const char*, 45> kTable = {
      "No Errors",
      "This partition is not NTFS partition",
      "Read Error",
      "Can't close disk",
      "Can't open disk",
      "Failed to read boot record",
      "MFT record is not a file record",
      "Can't extract data",
      "Data is encrypted",
      "Cluster list read false",
      "Cluster list read false",
      "File MFT is damaged",
      "File has no name",
      "File record is absent",
      "Wrong file signature",
      "Can't make FIXUP",
      "Can't write into output stream",
      "Can't extract archived file",
      "Can't extract archived file (out of buffer)",
      "Out of buffer while calculating file damage",
      "File is compressed",
      "File read error $BITMAP",
      "Not enough free space to save file",
      "File save error",
      "There is no data in this file",
      "Error while opening a partition",
      "Error while creating an image",
      "Index is not a name index",
      "File not found (NTFS)",
      "An exception was occurred. Please save your log file and send it to our technical support.",
      "Can't create folder",
      "Wrong partition",
      "Selected FAT copy not exist",
      "File not found (FAT)",
      "Wrong block signature",
      "Image file corrupted",
      "There is no partition on this drive",
      "File system is not supported",
      "Too many partitions",
      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
  };
  if (code < 0 || code > 44) return std::to_string(code);
  const char* text = kTable[static_cast<std::size_t>(code)];
  return text != nullptr ? text : "";
}

}  // namespace vandrel
