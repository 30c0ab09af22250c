// The scanning NTFS reader: a tree of every MFT record, deleted ones
// included, for when folder indexes are lost.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "filesystems/ntfs/ntfs.h"

namespace vandrel {

class TFileTree;
struct TNtfsTreeNode;
struct TNtfsRecordDescription;

// Builds a tree of every MFT record, deleted ones included, and lists
// directories from it.
class TNTFS_Salvager : public TNTFS {
 public:
  explicit TNTFS_Salvager(TStorage* storage);
  ~TNTFS_Salvager() override;

  void Prepare() override;
  FsHandle FindFirstByPath(std::string_view directoryPath, TFileEntry& out) override;
  FsHandle FindFirst(const TFileEntry& directory, TFileEntry& out) override;
  bool FindNext(FsHandle handle, TFileEntry& out) override;
  void FindClose(FsHandle handle) override;
  std::int32_t GetTag(const TFileEntry& entry) override;
  void SetTag(const TFileEntry& entry, std::int32_t value) override;
  std::int32_t ListEncryptedFiles(std::vector<TFsTreeNode*>& list) override;
  bool EntryFromNode(TFsTreeNode* node, TFileEntry& out) override;
  std::int32_t GetScanCount() override;

  TFileTree* Tree() const { return tree_.get(); }

 protected:
  std::string LinkCheckPath(const TFileEntry& entry) override;

 private:
  struct TScan;
  // Reads every record, links the nodes by their parents, places the rest.
  void BuildTree();
  void ScanRecords(TScan& scan);
  void ScanRecord(TScan& scan, std::int64_t number, MutableByteSpan record);
  // Names, times, size and kind of a node from its record's description.
  void DescribeNode(TNtfsTreeNode& node, const TNtfsRecordDescription& d);
  // Base records with an attribute list take what their extensions hold.
  void JoinExtensions(TScan& scan);
  // Under their parent when it leads to the root, else under a placeholder
  // for a missing parent or under "Unknown files".
  void AttachNodes(std::vector<std::unique_ptr<TNtfsTreeNode>>& nodes);
  // The node of a path, junctions on the way followed; nullptr when missing.
  TFsTreeNode* FollowTreePath(std::string_view path, int& hops);
  TFsTreeNode* FollowTreeLink(TFsTreeNode* node, int& hops);
  std::unique_ptr<TFileTree> tree_;
  std::int32_t encryptedCount_ = 0;
};

}  // namespace vandrel
