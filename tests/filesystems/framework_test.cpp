// Path resolution, tree enumeration and the sparse index of the reader
// framework, on a small in-memory tree.
#include <gtest/gtest.h>

#include "filesystems/dir_list_ex.h"
#include "filesystems/file_system_tree.h"
#include "filesystems/file_system.h"

namespace vandrel {
namespace {

struct Node : TFsTreeNode {
  std::string name;
  bool directory = false;
  std::int64_t id = 0;
};

class Tree : public TFileSystem_Tree {
 public:
  explicit Tree(FileSystem* fs) : TFileSystem_Tree(fs) { InitRoot(); }
  bool FillEntry(TFsTreeNode* node, TFileEntry& out, FsHandle) override {
    auto* n = static_cast<Node*>(node);
    out.Clear();
    out.Name = n->name;
    out.Attributes = n->directory ? kAttrDirectory : kAttrArchive;
    out.ObjectId = n->id;
    out.Node = node;
    out.ParentNode = node->Parent;
    out.Fs = Owner();
    return true;
  }
  Node* Add(TFsTreeNode* parent, const std::string& name, bool directory) {
    auto node = std::make_unique<Node>();
    node->name = name;
    node->directory = directory;
    node->id = ++ids_;
    Node* raw = node.get();
    AddChild(parent, std::move(node));
    return raw;
  }

 private:
  std::int64_t ids_ = 0;
};

// A reader over a Tree: enough of the interface to resolve paths.
class TreeFs : public FileSystem {
 public:
  TreeFs() : FileSystem(nullptr), tree(this) {}
  TFileSystemKind GetKind() override { return TFileSystemKind::kNone; }
  bool Open() override { return true; }
  void Prepare() override {}
  bool IsSectorInUse(std::int64_t) override { return false; }
  std::int64_t GetDataStartSector(const TFileEntry&) override { return 0; }
  FsHandle FindFirstByPath(std::string_view path, TFileEntry& out) override {
    return tree.FindFirst(tree.FindNode(path), out);
  }
  FsHandle FindFirst(const TFileEntry& directory, TFileEntry& out) override {
    return tree.FindFirst(directory.Node != nullptr ? directory.Node : tree.Root(), out);
  }
  bool FindNext(FsHandle h, TFileEntry& out) override { return tree.FindNext(h, out); }
  void FindClose(FsHandle h) override { tree.FindClose(h); }
  FsHandle OpenFile(const TFileEntry&) override { return kNoHandle; }
  std::int32_t ReadAt(FsHandle, std::int64_t, void*, std::int32_t) override { return 0; }
  bool CloseFile(FsHandle& h) override {
    h = kNoHandle;
    return true;
  }
  std::int64_t Seek(FsHandle, int, std::int64_t) override { return 0; }
  bool IsEof(FsHandle) override { return true; }
  std::int64_t GetFileSize(FsHandle) override { return -1; }
  std::string GetSectorList(const TFileEntry&) override { return {}; }
  Tree tree;
};

class LookupPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    docs_ = fs_.tree.Add(nullptr, "Docs", true);
    fs_.tree.Add(docs_, "Report.TXT", false);
    Node* deep = fs_.tree.Add(docs_, "Ünïcode Dir", true);
    fs_.tree.Add(deep, "note", false);
    fs_.tree.Add(nullptr, "top.bin", false);
  }
  TreeFs fs_;
  Node* docs_ = nullptr;
};

TEST_F(LookupPathTest, Rules) {
  struct Case {
    std::string path;
    bool includeFiles;
    bool found;
    std::string name;
  };
  const Case cases[] = {
      {"/", true, true, ""},
      {"/docs", false, true, "Docs"},
      {"/docs/", false, true, "Docs"},                  // one trailing separator
      {"/DOCS/report.txt", true, true, "Report.TXT"},   // case ignored
      {"/docs/ÜNÏCODE DIR/NOTE", true, true, "note"},   // beyond ASCII too
      {"top.bin", true, true, "top.bin"},               // relative: one name in the root
      {"docs/report.txt", true, false, ""},             // relative paths are one name
      {"/docs/report.txt", false, false, ""},           // files excluded
      {"/docs/missing", true, false, ""},
      {"/top.bin/x", true, false, ""},
      {"/" + std::string(kMaxPathLength, 'a'), true, false, ""},  // too long
  };
  for (const Case& c : cases) {
    TFileEntry entry;
    entry.Name = "unchanged";
    const bool found = fs_.LookupPath(c.path, entry, c.includeFiles, nullptr);
    EXPECT_EQ(found, c.found) << c.path;
    if (found) {
      EXPECT_EQ(entry.Name, c.name) << c.path;
    }
  }
}

TEST_F(LookupPathTest, BaseEntryStartsTheWalk) {
  TFileEntry docs;
  ASSERT_TRUE(fs_.LookupPath("/Docs", docs, false, nullptr));
  TFileEntry report;
  EXPECT_TRUE(fs_.LookupPath("report.txt", report, true, &docs));
  EXPECT_EQ(report.Name, "Report.TXT");
  TFileEntry same;
  EXPECT_TRUE(fs_.LookupPath("/", same, true, &docs));
  EXPECT_EQ(same.Name, "Docs");
}

TEST_F(LookupPathTest, ListingStartsWithParentThenNewestFirst) {
  TFileEntry entry;
  const FsHandle h = fs_.FindFirstByPath("/", entry);
  ASSERT_NE(h, kNoHandle);
  EXPECT_FALSE(IsInvalidHandle(h));
  std::vector<std::string> names{entry.Name};
  EXPECT_EQ(entry.Node, nullptr);  // the root's ".." has no node
  while (fs_.FindNext(h, entry)) names.push_back(entry.Name);
  fs_.FindClose(h);
  EXPECT_EQ(names, (std::vector<std::string>{"..", "top.bin", "Docs"}));
  EXPECT_EQ(fs_.tree.NodeCount(), 5);
  EXPECT_EQ(fs_.tree.FindChildByName(fs_.tree.Root(), "DOCS"), docs_);
  EXPECT_EQ(fs_.tree.FindFirst(nullptr, entry), kNoHandle);
}

TEST(DirListEx, OwnsCopies) {
  TDirListEx list;
  TFileEntry entry;
  entry.Name = "one";
  EXPECT_EQ(list.Add(entry), 0);
  entry.Name = "two";
  EXPECT_EQ(list.Add(entry), 1);
  ASSERT_NE(list.Items(0), nullptr);
  EXPECT_EQ(list.Items(0)->Name, "one");
  EXPECT_EQ(list.Items(2), nullptr);
  EXPECT_EQ(list.Items(-1), nullptr);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
}

TEST(SplitPath, Components) {
  std::vector<std::string_view> parts;
  bool absolute = false;
  ASSERT_TRUE(SplitPath("/a/b/", parts, absolute));
  EXPECT_TRUE(absolute);
  EXPECT_EQ(parts, (std::vector<std::string_view>{"a", "b"}));
  ASSERT_TRUE(SplitPath("name with \\ backslash", parts, absolute));
  EXPECT_EQ(parts.size(), 1u);
  EXPECT_FALSE(absolute);
}

TEST(HandleTable, NeverHandsOutReservedValues) {
  HandleTable<int> table;
  for (int i = 0; i < 40; ++i) {
    const FsHandle h = table.Add(std::make_unique<int>(i));
    EXPECT_FALSE(IsInvalidHandle(h)) << h;
  }
  EXPECT_EQ(table.Get(18), nullptr);
  EXPECT_FALSE(table.Remove(-1));
}

}  // namespace
}  // namespace vandrel
