#include "filesystems/file_system_tree.h"

#include <vector>

#include "platform/locale.h"

namespace vandrel {

TFileSystem_Tree::TFileSystem_Tree(FileSystem* fileSystem) : fileSystem_(fileSystem) {}

TFileSystem_Tree::~TFileSystem_Tree() {
  if (root_ == nullptr) return;
  FreeChildren(root_);
  FreeNode(root_);
}

void TFileSystem_Tree::InitRoot() {
  if (root_ == nullptr) root_ = NewRootNode().release();
}

std::unique_ptr<TFsTreeNode> TFileSystem_Tree::NewRootNode() { return std::make_unique<TFsTreeNode>(); }

void TFileSystem_Tree::FreeNode(TFsTreeNode*& node) {
  delete node;  // NOLINT: nodes are owned through their parent's child links
  node = nullptr;
}

void TFileSystem_Tree::FreeChildren(TFsTreeNode* node) {
  if (node == nullptr) return;
  // Iterative depth-first walk: deep trees must not exhaust the stack.
  std::vector<TFsTreeNode*> pending;
  for (TFsTreeNode* child = node->FirstChild; child != nullptr; child = child->Next) pending.push_back(child);
  node->FirstChild = nullptr;
  while (!pending.empty()) {
    TFsTreeNode* current = pending.back();
    pending.pop_back();
    for (TFsTreeNode* child = current->FirstChild; child != nullptr; child = child->Next) pending.push_back(child);
    FreeNode(current);
    --nodeCount_;
  }
}

void TFileSystem_Tree::AddChild(TFsTreeNode* parent, std::unique_ptr<TFsTreeNode> node) {
  if (!node) return;
  if (parent == nullptr) parent = root_;
  TFsTreeNode* raw = node.release();
  raw->Parent = parent;
  if (parent != nullptr) {
    raw->Next = parent->FirstChild;
    parent->FirstChild = raw;
  }
  ++nodeCount_;
}

void TFileSystem_Tree::MakeParentEntry(TFsTreeNode* node, TFileEntry& out) {
  out.Clear();
  out.Name = "..";
  out.Attributes = kAttrDirectory | kAttrParentLink;
  out.Node = node != nullptr ? node->Parent : nullptr;
  out.ParentNode = out.Node;
  out.Fs = fileSystem_;
  out.Storage = fileSystem_ != nullptr ? fileSystem_->Storage() : nullptr;
}

FsHandle TFileSystem_Tree::FindFirstInNode(TFsTreeNode* node, TFileEntry& out) {
  if (node == nullptr) return kNoHandle;
  auto handle = std::make_unique<TTreeFindHandle>();
  handle->fileSystem = fileSystem_;
  handle->next = node->FirstChild;
  MakeParentEntry(node, out);
  return handles_.Add(std::move(handle));
}

bool TFileSystem_Tree::FindNext(FsHandle handle, TFileEntry& out) {
  TTreeFindHandle* find = handles_.Get(handle);
  if (find == nullptr || find->next == nullptr) return false;
  ++find->index;
  TFsTreeNode* node = find->next;
  find->next = node->Next;
  return FillEntry(node, out, handle);
}

void TFileSystem_Tree::FindClose(FsHandle handle) {
  if (handle != kNoHandle) handles_.Remove(handle);
}

TFsTreeNode* TFileSystem_Tree::FindChildByName(TFsTreeNode* node, std::string_view name) {
  try {
    TFileEntry entry;
    const FsHandle handle = FindFirst(node, entry);
    if (handle == kNoHandle) return nullptr;
    TFsTreeNode* found = nullptr;
    bool more = true;
    while (more) {
      if (EqualNoCase(entry.Name, name)) {
        found = entry.Node;
        break;
      }
      entry.Clear();
      more = FindNext(handle, entry);
    }
    FindClose(handle);
    return found;
  } catch (...) {
    return nullptr;
  }
}

TFsTreeNode* TFileSystem_Tree::FindNode(std::string_view path) {
  std::vector<std::string_view> components;
  bool absolute = false;
  if (!SplitPath(path, components, absolute)) return nullptr;
  TFsTreeNode* node = root_;
  for (std::string_view name : components) {
    if (node == nullptr) return nullptr;
    node = FindChildByName(node, name);
  }
  return node;
}

}  // namespace vandrel
