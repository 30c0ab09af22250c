#include "ui/product_name.h"

#include "common/func.h"

#ifndef VANDREL_FILE_VERSION
#define VANDREL_FILE_VERSION "0.0.0.0"
#endif

namespace vandrel {

std::string DisplayVersion(const std::string& fileVersion) {
  std::string text = fileVersion;
  // Only a trailing ".0.0" goes: cutting four characters off "1.0.0.5"
  // would show a wrong version.
  if (text.ends_with(".0.0")) text.resize(text.size() - 4);
  return text;
}

std::string FileVersion() { return VANDREL_FILE_VERSION; }

std::string ProductVersion() { return DisplayVersion(FileVersion()); }

std::string ProductCaption() { return Sprintf("%s %s", kProductName, ProductVersion().c_str()); }

}  // namespace vandrel
