// The one rule for names from disk: each name a single component the host
// can hold, unique in its folder, the same whatever order a reader lists.
#include <gtest/gtest.h>

#include <algorithm>

#include "filesystems/folder_listing.h"
#include "filesystems/file_system.h"

namespace vandrel {
namespace {

std::vector<std::string> Shown(const std::vector<std::pair<std::string, std::int64_t>>& listed) {
  std::vector<TFileEntry> entries;
  for (const auto& [name, id] : listed) {
    TFileEntry e;
    e.Name = name;
    e.ObjectId = id;
    entries.push_back(e);
  }
  PresentNames(entries);
  std::vector<std::string> names;
  for (const TFileEntry& e : entries) names.push_back(e.Name);
  return names;
}

TEST(FolderNames, DuplicatesTakeNumbersNoOtherEntryHolds) {
  struct Case {
    std::vector<std::pair<std::string, std::int64_t>> listed;
    std::vector<std::string> shown;
  };
  const Case cases[] = {
      {{{"a.txt", 1}, {"a.txt", 2}, {"a.txt", 3}}, {"a.txt", "a (2).txt", "a (3).txt"}},
      // A name that is already there is never given to a duplicate.
      {{{"a.txt", 1}, {"a.txt", 2}, {"a (2).txt", 3}}, {"a.txt", "a (3).txt", "a (2).txt"}},
      // Names equal once made safe are duplicates too.
      {{{"a/b", 1}, {"a%2Fb", 2}}, {"a%2Fb (2)", "a%2Fb"}},
      {{{"README", 4}, {"README", 3}}, {"README (2)", "README"}},
  };
  for (const Case& c : cases) EXPECT_EQ(Shown(c.listed), c.shown) << c.shown.front();
  // Which entry keeps the name does not depend on the listing's order.
  EXPECT_EQ(Shown({{"x", 9}, {"x", 5}}), (std::vector<std::string>{"x (2)", "x"}));
}

TEST(FolderNames, LongNamesStayWithinTheHostsLimit) {
  const std::string stem(300, 'n');
  const auto names = Shown({{stem + ".jpeg", 1}, {stem + ".jpeg", 2}, {std::string(300, 'e'), 3}});
  for (const std::string& name : names) EXPECT_LE(name.size(), kMaxNameBytes) << name;
  EXPECT_EQ(names[0].substr(names[0].size() - 6), "~.jpeg");
  EXPECT_EQ(names[1].substr(names[1].size() - 10), "~ (2).jpeg");
  // A cut never splits a UTF-8 sequence.
  std::string wide;
  for (int i = 0; i < 200; ++i) wide += "\xE2\x98\x83";  // three bytes each
  const std::string cut = PresentName(wide);
  EXPECT_LE(cut.size(), kMaxNameBytes);
  EXPECT_EQ((cut.size() - 1) % 3, 0u);
}

}  // namespace
}  // namespace vandrel
