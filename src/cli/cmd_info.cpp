// `info ADDR`: the facts the properties window shows for a storage.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <iostream>
#include <map>

#include "cli/info_sections.h"
#include "cli/volume_files.h"
#include "common/func.h"
#include "common/messages.h"
#include "storage/partition_types.h"
#include "storage/hard_drive.h"
#include "storage/hdd_manager.h"

namespace vandrel::cli {

namespace {

std::multimap<int, InfoProvider>& Providers() {
  static std::multimap<int, InfoProvider> providers;
  return providers;
}

std::string Bytes(std::int64_t value) {
  return value == -1 ? std::string() : GroupDigits(static_cast<std::uint64_t>(value)) + "b";
}

std::vector<InfoSection> PartitionSection(Session& session, TStorage* storage) {
  auto* partition = dynamic_cast<TPartition*>(storage);
  if (partition == nullptr && dynamic_cast<TDevice*>(storage) != nullptr) return {};
  InfoSection s{"Partition", {}, {}};
  s.facts.emplace_back("Name", storage->GetName(false));
  s.facts.emplace_back("Partition size", Bytes(storage->Size));
  s.facts.emplace_back("File system", VolumeTypeName(*storage));
  const bool active = partition != nullptr && partition->Information.MbrEntry[0] == 0x80;
  s.facts.emplace_back("Active partition", Message(active ? 36 : 37));
  s.facts.emplace_back("Image file", storage->Path.empty() ? Message(105) : storage->Path);
  if (partition != nullptr) {
    s.facts.emplace_back("Start Sector", std::to_string(partition->Information.Start));
    s.facts.emplace_back("Total Sectors", std::to_string(partition->Information.Count));
    s.facts.emplace_back("Type", PartitionKindName(partition->Information.Kind));
    if (!partition->Information.WindowsPath.empty()) s.facts.emplace_back("Mounted at", partition->Information.WindowsPath);
  }
  (void)session;
  return {s};
}

std::vector<InfoSection> DiskSection(Session& session, TStorage* storage) {
  TStorageWithPartitions* disk = dynamic_cast<TStorageWithPartitions*>(storage);
  if (disk == nullptr) {
    if (auto* partition = dynamic_cast<TPartition*>(storage)) disk = partition->Parent();
  }
  if (disk == nullptr) return {};
  InfoSection s{"Physical Disk", {}, {}};
  s.facts.emplace_back("Name", disk->GetName(false));
  s.facts.emplace_back("Capacity", Bytes(disk->Size));
  s.facts.emplace_back("Total sectors", GroupDigits(static_cast<std::uint64_t>(std::max<std::int64_t>(disk->SectorCount, 0))));
  s.facts.emplace_back("Bytes per sector", std::to_string(disk->SectorSize));
  std::string serial;
  if (auto* drive = dynamic_cast<THardDrive*>(disk)) {
    serial = drive->Serial;
    if (serial.empty() && drive->DriveNumber() >= 0 && drive->DriveNumber() <= 255)
      serial = Sprintf("Disk %d", drive->DriveNumber());
    s.facts.emplace_back("Device", drive->OsPath());
    if (!drive->Vendor.empty()) s.facts.emplace_back("Vendor", drive->Vendor);
    if (!drive->Revision.empty()) s.facts.emplace_back("Revision", drive->Revision);
    if (!drive->BusTypeNameText.empty()) s.facts.emplace_back("Bus", drive->BusTypeNameText);
  }
  s.facts.emplace_back("Serial number", serial.empty() ? Message(105) : serial);
  s.facts.emplace_back("Source", StorageSourceName(disk->StorageSource));
  s.facts.emplace_back("Type", StorageTypeName(disk->StorageType));
  std::vector<TPartition*> volumes;
  for (std::int32_t i = 0; i < disk->PartitionCount(); ++i)
    if (TPartition* p = disk->GetPartition(i)) volumes.push_back(p);
  // Metadata rows after the others, then by name.
  std::stable_sort(volumes.begin(), volumes.end(), [](TPartition* a, TPartition* b) {
    if (a->Metadata != b->Metadata) return !a->Metadata;
    return a->GetName(false) < b->GetName(false);
  });
  for (TPartition* p : volumes)
    s.rows.push_back({{"Volume", p->GetName(false)}, {"Capacity", TDeviceManager::SizeText(p)}});
  (void)session;
  return {s};
}

std::vector<InfoSection> FileSystemSection(Session& session, TStorage* storage) {
  if (dynamic_cast<TDevice*>(storage) != nullptr && dynamic_cast<TPartition*>(storage) == nullptr) {
    // Devices carry a file system only as their own volume (RAID/LDM volumes).
    if (storage->FsType == 0) return {};
  }
  if (storage->FsType == 0) return {};
  TDeviceManager& devices = session.Devices();
  if (!devices.CreateReader(storage, false, TReaderChoice::kByKind) || !storage->Reader) return {};
  FileSystem* reader = storage->Reader;
  InfoSection s{"File System", {}, {}};
  const TFileSystemKind kind = reader->GetKind();
  s.facts.emplace_back("Reader", kind == TFileSystemKind::kNtfs ? "NTFS" : IsFat(kind) ? "FAT" : kind == TFileSystemKind::kExt ? "Ext2" : std::string(FileSystemKindName(kind)));
  s.facts.emplace_back("Cluster size", std::to_string(reader->ClusterSize()));
  s.facts.emplace_back("Block size", std::to_string(reader->GetBlockSize()));
  std::int64_t freeBytes = 0;
  if (reader->GetFreeSpace(freeBytes)) s.facts.emplace_back("Free space", Bytes(freeBytes));
  return {s};
}

const InfoRegistrar kPartition{10, PartitionSection};
const InfoRegistrar kDisk{20, DiskSection};
const InfoRegistrar kFileSystem{30, FileSystemSection};

int RunInfo(Session& session, const std::string& addressText) {
  TStorage* storage = ResolveAddress(session, ParseAddress(addressText));
  std::vector<InfoSection> sections;
  for (auto& [order, provider] : Providers()) {
    auto more = provider(session, storage);
    sections.insert(sections.end(), more.begin(), more.end());
  }
  if (session.Options().json) {
    nlohmann::json out = nlohmann::json::object();
    out["addr"] = addressText;
    for (const InfoSection& s : sections) {
      nlohmann::json section = nlohmann::json::object();
      for (const auto& [caption, value] : s.facts) section[caption] = value;
      if (!s.rows.empty()) {
        nlohmann::json rows = nlohmann::json::array();
        for (const auto& row : s.rows) {
          nlohmann::json r = nlohmann::json::object();
          for (const auto& [column, value] : row) r[column] = value;
          rows.push_back(r);
        }
        section["rows"] = rows;
      }
      out[s.title] = section;
    }
    std::cout << out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    return kExitOk;
  }
  for (const InfoSection& s : sections) {
    std::cout << "[" << s.title << "]\n";
    for (const auto& [caption, value] : s.facts) std::cout << "  " << caption << ": " << value << "\n";
    for (const auto& row : s.rows) {
      std::cout << "   -";
      for (const auto& [column, value] : row) std::cout << " " << column << ": " << value << ";";
      std::cout << "\n";
    }
  }
  return kExitOk;
}

const CommandRegistrar kRegistrar{{"info", "Show the properties of a storage, partition or array", [](CLI::App& command) {
                                     auto address = std::make_shared<std::string>();
                                     command.add_option("ADDR", *address, "Address D or D:P")->required();
                                     return std::function<int(Session&)>(
                                         [address](Session& session) { return RunInfo(session, *address); });
                                   }}};

}  // namespace

void RegisterInfoProvider(int order, InfoProvider provider) { Providers().emplace(order, std::move(provider)); }

}  // namespace vandrel::cli
