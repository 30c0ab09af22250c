// Partition-type names from util-linux's table (libfdisk), for the GPT
// type GUIDs that the built-in table predates.
#pragma once

#include <string>

namespace vandrel {

// The name libfdisk gives the GPT type GUID ("0FC63DAF-8483-...": "Linux
// filesystem"); empty when it knows none.
std::string SystemGptTypeName(const std::string& guidText);

}  // namespace vandrel
