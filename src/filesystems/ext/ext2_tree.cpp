#include "filesystems/ext/ext2_tree.h"

namespace vandrel {

TExt2FileTree::TExt2FileTree(FileSystem* fileSystem) : TFileSystem_Tree(fileSystem) { InitRoot(); }

std::unique_ptr<TFsTreeNode> TExt2FileTree::NewRootNode() {
  auto root = std::make_unique<TExt2Node>();
  root->Name = std::string(1, kPathDelimiter);
  root->Attributes = kAttrDirectory;
  root->ObjectId = 2;
  return root;
}

bool TExt2FileTree::FillEntry(TFsTreeNode* node, TFileEntry& out, FsHandle /*handle*/) {
  out.Clear();
  auto* ext = dynamic_cast<TExt2Node*>(node);
  if (ext == nullptr) return false;
  out.Attributes = ext->Attributes;
  out.Damage = ext->Damage;
  out.CreationTime = ext->CreationTime;
  out.LastAccessTime = ext->LastAccessTime;
  out.LastWriteTime = ext->LastWriteTime;
  out.Size = ext->Size;
  out.Name = ext->Name;
  out.ObjectId = ext->ObjectId;
  out.Node = node;
  out.ParentNode = node->Parent;
  auto* parent = dynamic_cast<TExt2Node*>(node->Parent);
  out.ParentId = parent != nullptr ? parent->ObjectId : 0;
  out.Fs = fileSystem_;
  out.Storage = fileSystem_ != nullptr ? fileSystem_->Storage() : nullptr;
  return true;
}

TExt2Node* TExt2FileTree::AddEntryNode(TExt2Node* directory, std::size_t index, const TFileEntry& entry) {
  if (directory == nullptr) directory = RootNode();
  if (index < directory->Ordered.size()) return directory->Ordered[index];
  auto node = std::make_unique<TExt2Node>();
  node->Attributes = entry.Attributes;
  node->Damage = entry.Damage;
  node->CreationTime = entry.CreationTime;
  node->LastAccessTime = entry.LastAccessTime;
  node->LastWriteTime = entry.LastWriteTime;
  node->Size = entry.Size;
  node->Name = entry.Name;
  node->ObjectId = entry.ObjectId;
  TExt2Node* raw = node.get();
  AddChild(directory, std::move(node));
  directory->Ordered.push_back(raw);
  return raw;
}

bool TExt2FileTree::IsDirectoryLoop(const TExt2Node* node) const {
  if (node == nullptr) return false;
  for (const TFsTreeNode* up = node->Parent; up != nullptr; up = up->Parent) {
    const auto* ext = dynamic_cast<const TExt2Node*>(up);
    if (ext != nullptr && ext->ObjectId == node->ObjectId) return true;
  }
  return false;
}

}  // namespace vandrel
