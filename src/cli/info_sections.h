// `info` is a list of sections, each a list of (caption, value) facts;
// other units (RAID, LDM) add sections through this registry.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "cli/cli.h"

namespace vandrel::cli {

struct InfoSection {
  std::string title;
  std::vector<std::pair<std::string, std::string>> facts;
  // Rows of a table under the facts (members, volumes), each a list of
  // (column, value).
  std::vector<std::vector<std::pair<std::string, std::string>>> rows;
};

// Answers the sections a unit knows for the storage (none when it does not
// apply).
using InfoProvider = std::function<std::vector<InfoSection>(Session&, TStorage*)>;

// Providers run in the order of `order` (lower first).
void RegisterInfoProvider(int order, InfoProvider provider);
struct InfoRegistrar {
  InfoRegistrar(int order, InfoProvider provider) { RegisterInfoProvider(order, std::move(provider)); }
};

}  // namespace vandrel::cli
