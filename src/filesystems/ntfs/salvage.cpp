#include "filesystems/ntfs/salvage.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <unordered_map>

#include "common/error_codes.h"
#include "common/log.h"
#include "common/text.h"
#include "filesystems/ntfs/ntfs.h"
#include "filesystems/ntfs/attribute_list.h"
#include "filesystems/ntfs/record_description.h"
#include "filesystems/ntfs/reparse.h"

namespace vandrel {

namespace {

// Attribute lists the scan reads in all, in bytes.
constexpr std::size_t kMaxScanListBytes = 64u << 20;
// A record count from a damaged $MFT size must not make the scan endless.
constexpr std::int64_t kMaxScanRecords = std::int64_t{1} << 26;
// Records read at a time.
constexpr std::int64_t kScanPieceBytes = 524288;
// Parent chains longer than this are taken as loops.
constexpr std::size_t kMaxParentDepth = 4096;
// The metafiles' reserved records: unused ones are no deleted files.
constexpr std::int64_t kFirstReservedRecord = 16;
constexpr std::int64_t kLastReservedRecord = 23;
// Record numbers a parent reference can hold.
constexpr std::int64_t kMaxTreeRecord = 0xFFFFFFFFLL;

// Whether a node's chain of parents reaches the root.
enum class TReach { Root, Lost };

}  // namespace

struct TNtfsTreeNode : TFsTreeNode {
  std::uint32_t Attributes = 0;
  std::uint64_t CreationTime = 0;
  std::uint64_t WriteTime = 0;
  std::uint64_t ChangeTime = 0;
  std::int64_t Size = 0;
  std::string Name;
  std::int64_t Mft = 0;
  std::int64_t ParentMft = 0;
  std::int64_t FirstSector = 0;
  std::int32_t Tag = 0;
  TDamage Damage = TDamage::None;  // of its record
};

// What one pass over the MFT collects before the tree is built.
struct TNTFS_Salvager::TScan {
  // What an extension record holds for its base record.
  struct Extension {
    std::int64_t base = 0;
    bool inUse = false;
    TNtfsNameChoice names;
    bool hasData = false;
    std::int64_t dataSize = 0;
    std::int64_t firstLcn = -1;
  };
  // A base record with an attribute list, waiting for its extensions.
  struct Pending {
    TNtfsTreeNode* node;
    std::vector<std::uint8_t> record;
    TNtfsRecordDescription description;
  };
  std::vector<std::unique_ptr<TNtfsTreeNode>> nodes;
  std::map<std::int64_t, Extension> extensions;
  std::vector<Pending> withList;
};

class TFileTree : public TFileSystem_Tree {
 public:
  explicit TFileTree(FileSystem* fs) : TFileSystem_Tree(fs) { InitRoot(); }
  bool FillEntry(TFsTreeNode* node, TFileEntry& out, FsHandle) override {
    out.Clear();
    auto* n = static_cast<TNtfsTreeNode*>(node);
    if (n == nullptr) return false;
    out.Attributes = n->Attributes;
    out.CreationTime = n->CreationTime;
    out.LastWriteTime = n->WriteTime;
    out.LastAccessTime = n->ChangeTime;
    out.Size = n->Size;
    out.Name = n->Name;
    out.ObjectId = n->Mft;
    out.ParentId = n->ParentMft;
    out.Node = n;
    out.ParentNode = n->Parent;
    if (n->Damage != TDamage::None) out.MarkDamaged(n->Damage);
    out.Fs = fileSystem_;
    out.Storage = fileSystem_->Storage();
    return true;
  }
};

TNTFS_Salvager::TNTFS_Salvager(TStorage* storage) : TNTFS(storage, true) {}
TNTFS_Salvager::~TNTFS_Salvager() = default;

void TNTFS_Salvager::Prepare() {
  TNTFS::Prepare();
  BuildTree();
}

void TNTFS_Salvager::BuildTree() {
  tree_ = std::make_unique<TFileTree>(this);
  encryptedCount_ = 0;
  if (mftRuns_.empty()) return;
  TScan scan;
  ScanRecords(scan);
  JoinExtensions(scan);
  AttachNodes(scan.nodes);
  ReportProgress(100, "Done ...");
  ReportProgress(-1, "");
}

void TNTFS_Salvager::ScanRecords(TScan& scan) {
  const std::int64_t recordSize = boot_.RecordSize;
  const std::int64_t count = std::min<std::int64_t>(MftRecordCount(), kMaxScanRecords);
  const std::int64_t perPiece = std::max<std::int64_t>(1, kScanPieceBytes / recordSize);
  std::vector<std::uint8_t> piece;
  auto lastReport = std::chrono::steady_clock::now();
  for (std::int64_t first = 0; first < count; first += perPiece) {
    const std::int64_t n = std::min(perPiece, count - first);
    piece.assign(static_cast<std::size_t>(n * recordSize), 0);
    ReadRuns(mftRuns_, first * recordSize, piece.data(), piece.size());
    for (std::int64_t k = 0; k < n; ++k)
      ScanRecord(scan, first + k, MutableByteSpan(piece.data() + k * recordSize, static_cast<std::size_t>(recordSize)));
    const auto now = std::chrono::steady_clock::now();
    if (now - lastReport >= std::chrono::milliseconds(300)) {
      lastReport = now;
      if (ReportProgress(static_cast<int>((first + n) * 100 / std::max<std::int64_t>(count, 1)), "Scanning MFT") == 0) break;
    }
  }
}

void TNTFS_Salvager::ScanRecord(TScan& scan, std::int64_t number, MutableByteSpan rec) {
  if (!BytesEqual(rec, 0, "FILE")) return;
  // A torn record still names its file; the entry says it is torn.
  const bool torn = !ApplyFixup(rec);
  TNtfsRecordDescription d;
  if (!DescribeRecord(rec, clusterCount_, d)) return;
  if (d.Info.BaseRecord != 0) {
    // An extension record: what it holds belongs to its base record,
    // joined later when the base's attribute list names it.
    if (d.Names.Found() || d.HasData)
      scan.extensions.emplace(number, TScan::Extension{static_cast<std::int64_t>(d.Info.BaseRecord), d.Info.InUse,
                                                       d.Names, d.HasData, d.DataSize, d.FirstLcn});
    return;
  }
  if (number >= kFirstReservedRecord && number <= kLastReservedRecord && !d.Info.InUse) return;
  auto node = std::make_unique<TNtfsTreeNode>();
  node->Mft = number;
  node->Damage = torn ? TDamage::TornRecord : d.Info.Damage;
  if (d.HasAttributeList) {
    scan.withList.push_back({node.get(), std::vector<std::uint8_t>(rec.begin(), rec.end()), std::move(d)});
  } else {
    DescribeNode(*node, d);
  }
  scan.nodes.push_back(std::move(node));
}

void TNTFS_Salvager::DescribeNode(TNtfsTreeNode& node, const TNtfsRecordDescription& d) {
  node.CreationTime = d.CreationTime;
  node.WriteTime = d.WriteTime;
  node.ChangeTime = d.ChangeTime;
  node.Attributes |= d.FileAttributes;
  if (d.HasData) node.Size = d.DataSize;
  if (d.FirstLcn >= 0) node.FirstSector = d.FirstLcn * clusterSize_ / std::max(1, storage_->SectorSize);
  if (d.Names.Found()) {
    const TNtfsFileName& chosen = d.Names.Chosen();
    node.Name = chosen.Name;
    node.ParentMft = static_cast<std::int64_t>(chosen.Parent);
    if (node.CreationTime == 0) {
      node.CreationTime = chosen.CreationTime;
      node.WriteTime = chosen.WriteTime;
      node.ChangeTime = chosen.ChangeTime;
    }
    node.Attributes |= chosen.Flags & ~kNtfsFileNameDirectory;
  } else {
    char name[64];
    std::snprintf(name, sizeof name, "Unknow file $%llx", static_cast<unsigned long long>(node.Mft));
    node.Name = name;
    node.ParentMft = -1;
  }
  if (d.Info.Directory) {
    node.Attributes |= kAttrDirectory;
    node.Size = 0;
  }
  if (!d.Info.InUse) node.Attributes |= kAttrDeleted;
  // Links and special files are told apart as the index listing does.
  TFileEntry probe;
  probe.Attributes = node.Attributes;
  probe.Size = node.Size;
  probe.ObjectId = node.Mft;
  ClassifyLink(probe);
  node.Attributes = probe.Attributes;
  node.Size = probe.Size;
  if ((node.Attributes & kAttrEncrypted) != 0 && !d.Info.Directory) {
    ++encryptedCount_;
    // Such a file reads as its raw export.
    TFileEntry entry;
    entry.ObjectId = node.Mft;
    const std::int64_t exported = EncryptedRawSize(entry);
    if (exported >= 0) node.Size = exported;
  }
}

void TNTFS_Salvager::JoinExtensions(TScan& scan) {
  // Names and data kept in extension records, taken from the records the
  // base's attribute list names (and that name the base back), in list order.
  std::size_t listBudget = kMaxScanListBytes;
  for (TScan::Pending& p : scan.withList) {
    TNtfsRecordInfo info;
    std::vector<TNtfsAttrHeader> headers;
    ParseRecordAttributes(p.record, info, headers);
    std::vector<std::uint8_t> list;
    for (const TNtfsAttrHeader& h : headers) {
      if (h.Type != kNtfsAttrAttributeList) continue;
      TNtfsAttrDesc listDesc;
      DescFromHeader(p.record, h, p.node->Mft, clusterCount_, listDesc);
      ReadAttributeValue(listDesc, list, std::min(listBudget, kMaxListBytes));
      listBudget -= std::min(listBudget, list.size());
      break;
    }
    std::vector<TNtfsListEntry> entries;
    ParseAttributeList(list, entries);
    std::set<std::int64_t> joined;
    for (const TNtfsListEntry& e : entries) {
      const auto number = static_cast<std::int64_t>(e.Record);
      const bool wanted = e.Type == kNtfsAttrFileName || (e.Type == kNtfsAttrData && e.Name.empty() && e.StartVcn == 0);
      if (!wanted || number == p.node->Mft || joined.count(number) != 0) continue;
      const auto it = scan.extensions.find(number);
      if (it == scan.extensions.end() || it->second.base != p.node->Mft ||
          it->second.inUse != p.description.Info.InUse)
        continue;
      joined.insert(number);
      const TScan::Extension& x = it->second;
      p.description.Names.Offer(x.names);
      if (x.hasData && !p.description.HasData) {
        p.description.HasData = true;
        p.description.DataSize = x.dataSize;
      }
      if (p.description.FirstLcn < 0) p.description.FirstLcn = x.firstLcn;
    }
    DescribeNode(*p.node, p.description);
  }
  scan.withList.clear();
  scan.extensions.clear();
}

namespace {

// Directories by record number; the last of equal numbers wins.
std::unordered_map<std::int64_t, TNtfsTreeNode*> DirectoriesByRecord(
    const std::vector<std::unique_ptr<TNtfsTreeNode>>& nodes) {
  std::unordered_map<std::int64_t, TNtfsTreeNode*> directories;
  for (const auto& node : nodes)
    if ((node->Attributes & kAttrDirectory) != 0 && node->Mft <= kMaxTreeRecord) directories[node->Mft] = node.get();
  return directories;
}

// The directory node a node's parent reference names; nullptr for the root,
// a reference out of range or to itself, or a parent not found.
TNtfsTreeNode* ParentOf(const std::unordered_map<std::int64_t, TNtfsTreeNode*>& directories,
                        const TNtfsTreeNode* node) {
  if (node->Mft == kNtfsRootRecord || node->ParentMft < 0 || node->ParentMft > kMaxTreeRecord ||
      node->ParentMft == node->Mft)
    return nullptr;
  const auto it = directories.find(node->ParentMft);
  return it == directories.end() ? nullptr : it->second;
}

// For every node whether its parents lead to the root. A walk stops at a
// node already decided, so each node is walked once and a loop of parents
// ends as Lost.
std::map<TNtfsTreeNode*, TReach> ReachOfNodes(const std::vector<std::unique_ptr<TNtfsTreeNode>>& nodes,
                                              const std::unordered_map<std::int64_t, TNtfsTreeNode*>& directories) {
  std::map<TNtfsTreeNode*, TReach> state;
  for (const auto& node : nodes) {
    std::vector<TNtfsTreeNode*> path;
    TNtfsTreeNode* cur = node.get();
    TReach verdict = TReach::Lost;
    while (cur != nullptr) {
      const auto it = state.find(cur);
      if (it != state.end()) {
        verdict = it->second;
        break;
      }
      if (cur->Mft == kNtfsRootRecord) {
        verdict = TReach::Root;
        break;
      }
      if (std::find(path.begin(), path.end(), cur) != path.end() || path.size() > kMaxParentDepth) break;
      path.push_back(cur);
      cur = ParentOf(directories, cur);
    }
    for (TNtfsTreeNode* p : path) state[p] = verdict;
  }
  return state;
}

}  // namespace

void TNTFS_Salvager::AttachNodes(std::vector<std::unique_ptr<TNtfsTreeNode>>& nodes) {
  const auto directories = DirectoriesByRecord(nodes);
  std::map<TNtfsTreeNode*, TReach> reach = ReachOfNodes(nodes, directories);
  TNtfsTreeNode* rootNode = nullptr;
  for (auto& node : nodes)
    if (node->Mft == kNtfsRootRecord) rootNode = node.get();
  // Nodes whose parents lead nowhere go under one folder of their own.
  auto unknown = std::make_unique<TNtfsTreeNode>();
  unknown->Name = "Unknown files";
  unknown->Attributes = kAttrDirectory | kAttrDeleted;
  unknown->Mft = -1;
  TNtfsTreeNode* unknownNode = unknown.get();
  std::map<std::int64_t, TNtfsTreeNode*> placeholders;
  std::vector<std::pair<TFsTreeNode*, std::unique_ptr<TNtfsTreeNode>>> links;
  std::vector<std::unique_ptr<TNtfsTreeNode>> extra;
  for (auto& node : nodes) {
    if (node.get() == rootNode) continue;
    TNtfsTreeNode* parent = ParentOf(directories, node.get());
    TFsTreeNode* target = nullptr;
    if (reach[node.get()] == TReach::Root) {
      target = parent == rootNode ? tree_->Root() : parent;
    } else if (parent == nullptr && node->ParentMft >= 0 && node->ParentMft != node->Mft) {
      // A parent record that is not a directory we found: a placeholder.
      auto& slot = placeholders[node->ParentMft];
      if (slot == nullptr) {
        auto holder = std::make_unique<TNtfsTreeNode>();
        char name[48];
        std::snprintf(name, sizeof name, "Folder: %lld", static_cast<long long>(node->ParentMft));
        holder->Name = name;
        holder->Attributes = kAttrDirectory | kAttrDeleted;
        holder->Mft = node->ParentMft;
        slot = holder.get();
        extra.push_back(std::move(holder));
      }
      target = slot;
    } else {
      target = unknownNode;
    }
    links.emplace_back(target, std::move(node));
  }
  if (rootNode != nullptr && !rootNode->Name.empty()) rootNode->Name[0] = 'R';
  // Parents first: attach in an order where every target is already placed.
  tree_->AddChild(nullptr, std::move(unknown));
  for (auto& holder : extra) tree_->AddChild(unknownNode, std::move(holder));
  for (auto& [target, node] : links) tree_->AddChild(target, std::move(node));
  nodes.clear();
}

FsHandle TNTFS_Salvager::FindFirstByPath(std::string_view directoryPath, TFileEntry& out) {
  if (!tree_) return kNoHandle;
  int hops = kMaxLinkHops;
  TFsTreeNode* node = FollowTreePath(directoryPath, hops);
  if (node == nullptr) {
    out.Clear();
    return kNoHandle;
  }
  return tree_->FindFirstInNode(node, out);
}

FsHandle TNTFS_Salvager::FindFirst(const TFileEntry& directory, TFileEntry& out) {
  if (!tree_) return kNoHandle;
  TFsTreeNode* node = directory.Node;
  if (node == nullptr) node = tree_->Root();
  if (MayBeJunction(directory)) {
    int hops = kMaxLinkHops;
    node = FollowTreeLink(node, hops);
  }
  return tree_->FindFirstInNode(node, out);
}

TFsTreeNode* TNTFS_Salvager::FollowTreePath(std::string_view path, int& hops) {
  std::vector<std::string_view> components;
  bool absolute = false;
  TFsTreeNode* node = tree_->Root();
  if (!SplitPath(path, components, absolute)) node = nullptr;
  for (std::size_t i = 0; node != nullptr && i < components.size(); ++i) {
    node = tree_->FindChildByName(node, components[i]);
    if (node != nullptr && node != tree_->Root()) node = FollowTreeLink(node, hops);
  }
  if (node == nullptr) LogEvent(kSenderNtfs, kErrNtfsNotFound, 0, path, 3);
  return node;
}

TFsTreeNode* TNTFS_Salvager::FollowTreeLink(TFsTreeNode* node, int& hops) {
  TFileEntry link;
  if (node == nullptr || node == tree_->Root() || !tree_->FillEntry(node, link, kNoHandle) || !MayBeJunction(link))
    return node;
  // Junctions that lead to each other end here, like any chain too long.
  if (hops <= 0) return node;
  --hops;
  const std::string target = CachedLinkTarget(link);
  if (target.empty()) return node;
  TFsTreeNode* reached = FollowTreePath(target, hops);
  TFileEntry entry;
  if (reached == tree_->Root() || (reached != nullptr && tree_->FillEntry(reached, entry, kNoHandle) && entry.IsDirectory()))
    return reached;
  return node;
}

std::string TNTFS_Salvager::LinkCheckPath(const TFileEntry& entry) {
  // The node's place in the tree, from the root.
  std::vector<const std::string*> names;
  for (TFsTreeNode* n = entry.Node; n != nullptr && tree_ && n != tree_->Root() && names.size() < 4096; n = n->Parent)
    names.push_back(&static_cast<TNtfsTreeNode*>(n)->Name);
  if (names.empty()) return entry.Name;
  std::string path;
  for (auto it = names.rbegin(); it != names.rend(); ++it) path += kPathDelimiter + **it;
  return path;
}

bool TNTFS_Salvager::FindNext(FsHandle handle, TFileEntry& out) { return tree_ && tree_->FindNext(handle, out); }

void TNTFS_Salvager::FindClose(FsHandle handle) {
  if (tree_) tree_->FindClose(handle);
}

std::int32_t TNTFS_Salvager::GetTag(const TFileEntry& entry) {
  return entry.Node != nullptr ? static_cast<TNtfsTreeNode*>(entry.Node)->Tag : 0;
}

void TNTFS_Salvager::SetTag(const TFileEntry& entry, std::int32_t value) {
  if (entry.Node != nullptr) static_cast<TNtfsTreeNode*>(entry.Node)->Tag = value;
}

std::int32_t TNTFS_Salvager::ListEncryptedFiles(std::vector<TFsTreeNode*>& list) {
  if (!tree_) return 0;
  std::vector<TFsTreeNode*> pending{tree_->Root()};
  while (!pending.empty()) {
    TFsTreeNode* node = pending.back();
    pending.pop_back();
    for (TFsTreeNode* child = node->FirstChild; child != nullptr; child = child->Next) {
      auto* n = static_cast<TNtfsTreeNode*>(child);
      if ((n->Attributes & kAttrEncrypted) != 0 && (n->Attributes & kAttrDirectory) == 0) list.push_back(child);
      pending.push_back(child);
    }
  }
  return static_cast<std::int32_t>(list.size());
}

bool TNTFS_Salvager::EntryFromNode(TFsTreeNode* node, TFileEntry& out) {
  if (!tree_ || node == nullptr || node == tree_->Root()) {
    out.Clear();
    return false;
  }
  return tree_->FillEntry(node, out, kNoHandle);
}

std::int32_t TNTFS_Salvager::GetScanCount() { return encryptedCount_; }

}  // namespace vandrel
