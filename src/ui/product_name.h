// The product's name and version as captions show them.
#pragma once

#include <string>

namespace vandrel {

inline constexpr const char* kProductName = "Vandrel";

// A four-part file version shortened for display: a trailing ".0.0" is
// dropped (3.1.0.0 gives 3.1).
std::string DisplayVersion(const std::string& fileVersion);
// The program's file version ("major.minor.patch.0" of the build).
std::string FileVersion();
std::string ProductVersion();
// "Vandrel" and the version, "%s %s".
std::string ProductCaption();

}  // namespace vandrel
