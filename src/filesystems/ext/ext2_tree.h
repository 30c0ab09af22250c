// The Ext reader's cache of what its listings returned: one node per
// entry, so that a directory read once is listed again without touching
// the volume.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "filesystems/file_system_tree.h"

namespace vandrel {

struct TExt2Node : TFsTreeNode {
  std::uint32_t Attributes = 0;
  TDamage Damage = TDamage::None;
  std::uint64_t CreationTime = 0;
  std::uint64_t LastAccessTime = 0;
  std::uint64_t LastWriteTime = 0;
  std::int64_t Size = 0;
  std::string Name;
  std::int64_t ObjectId = 0;
  std::int32_t Tag = 0;
  // Children in the order the directory lists them; `Complete` once one
  // listing reached the directory's end, so the tree can answer for it.
  std::vector<TExt2Node*> Ordered;
  bool Complete = false;
};

class TExt2FileTree : public TFileSystem_Tree {
 public:
  explicit TExt2FileTree(FileSystem* fileSystem);

  bool FillEntry(TFsTreeNode* node, TFileEntry& out, FsHandle handle) override;
  std::unique_ptr<TFsTreeNode> NewRootNode() override;

  // The node of a directory's `index`-th entry: the one cached from an
  // earlier listing, else a new node made from `entry`.
  TExt2Node* AddEntryNode(TExt2Node* directory, std::size_t index, const TFileEntry& entry);
  // Whether the directory's inode is already one of its own ancestors
  // (a damaged volume would otherwise list forever).
  bool IsDirectoryLoop(const TExt2Node* node) const;
  TExt2Node* RootNode() const { return static_cast<TExt2Node*>(root_); }
};

}  // namespace vandrel
