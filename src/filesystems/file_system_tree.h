// A directory tree held in memory, for readers that build one, with the
// enumeration over it.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "filesystems/file_system.h"

namespace vandrel {

// Every node starts with these links; readers derive their payload.
struct TFsTreeNode {
  TFsTreeNode* Next = nullptr;
  TFsTreeNode* FirstChild = nullptr;
  TFsTreeNode* Parent = nullptr;
  virtual ~TFsTreeNode() = default;
};

class TFileSystem_Tree {
 public:
  explicit TFileSystem_Tree(FileSystem* fileSystem);
  virtual ~TFileSystem_Tree();
  TFileSystem_Tree(const TFileSystem_Tree&) = delete;
  TFileSystem_Tree& operator=(const TFileSystem_Tree&) = delete;

  // ".." of a listing: attributes 0x10, node and parent node the listed
  // node's parent.
  virtual void MakeParentEntry(TFsTreeNode* node, TFileEntry& out);
  virtual bool FillEntry(TFsTreeNode* node, TFileEntry& out, FsHandle handle) = 0;
  virtual void FreeNode(TFsTreeNode*& node);
  virtual FsHandle FindFirstInNode(TFsTreeNode* node, TFileEntry& out);
  virtual std::unique_ptr<TFsTreeNode> NewRootNode();
  virtual FsHandle FindFirst(TFsTreeNode* node, TFileEntry& out) { return FindFirstInNode(node, out); }
  virtual FsHandle FindFirstForEntry(const TFileEntry& entry, TFileEntry& out) {
    return FindFirstInNode(entry.Node, out);
  }
  virtual TFsTreeNode* FindNode(std::string_view path);

  // Creates the root; call once from the derived constructor.
  void InitRoot();
  // A null parent means the root; the node becomes its first child.
  void AddChild(TFsTreeNode* parent, std::unique_ptr<TFsTreeNode> node);
  void FreeChildren(TFsTreeNode* node);
  bool FindNext(FsHandle handle, TFileEntry& out);
  void FindClose(FsHandle handle);
  // Node of the first entry of `node`'s listing named `name` (".." included).
  TFsTreeNode* FindChildByName(TFsTreeNode* node, std::string_view name);

  TFsTreeNode* Root() const { return root_; }
  std::int64_t NodeCount() const { return nodeCount_; }
  FileSystem* Owner() const { return fileSystem_; }

 protected:
  FileSystem* fileSystem_;
  TFsTreeNode* root_ = nullptr;
  std::int64_t nodeCount_ = 0;
  ProgressCallback progress_;

 private:
  struct TTreeFindHandle {
    FileSystem* fileSystem = nullptr;
    TFsTreeNode* next = nullptr;
    std::int32_t index = 0;
  };
  HandleTable<TTreeFindHandle> handles_;
};

}  // namespace vandrel
