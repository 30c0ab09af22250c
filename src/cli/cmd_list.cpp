// `list`: every storage and partition with its address.
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <algorithm>
#include <iostream>

#include "cli/cli.h"
#include "common/func.h"
#include "common/text.h"
#include "storage/partition_types.h"
#include "volumes/raid/raid_manager.h"
#include "storage/hard_drive.h"
#include "storage/hdd_manager.h"

namespace vandrel::cli {
namespace {

struct Row {
  std::string addr;
  TStorage* storage = nullptr;
  const TPartitionInformation* entry = nullptr;  // partitions only
  std::int64_t start = 0;
  std::int64_t sectors = 0;
  int depth = 0;
};

std::string TypeName(const Row& row) {
  if (row.entry != nullptr) return row.entry->Kind == pkUnallocated ? "" : VolumeTypeName(*row.storage);
  if (auto* drive = dynamic_cast<THardDrive*>(row.storage)) {
    if (drive->StorageType == stFloppy) return "Floppy disk";
    if (drive->DiskImage) return "Disk image";
    return drive->BusTypeNameText.empty() ? "Disk" : drive->BusTypeNameText + " disk";
  }
  // Arrays show their layout and damage state.
  if (auto* raid = dynamic_cast<TRaidDevice*>(row.storage))
    return RaidTypeName(raid->Information().Type, true) + ", " + RaidStateName(raid->RaidState);
  return "";
}

std::vector<Row> CollectRows(TDeviceManager& devices) {
  std::vector<Row> rows;
  const std::int32_t count = devices.StorageCount();
  for (std::int32_t d = 0; d < count; ++d) {
    TStorage* storage = devices.GetStorage(d);
    if (storage == nullptr) continue;
    rows.push_back({FormatAddress(d, -1), storage, nullptr, 0, storage->SectorCount, 0});
    auto* device = dynamic_cast<TDevice*>(storage);
    if (device == nullptr) continue;
    // Through GetPartition: a RAID volume's one partition is not in a table.
    for (std::int32_t p = 0; p < device->PartitionCount(); ++p) {
      TPartition* partition = device->GetPartition(p);
      if (partition == nullptr) continue;
      const TPartitionInformation& entry = partition->Information;
      rows.push_back({FormatAddress(d, p), partition, &entry, entry.Start, entry.Count, 1});
    }
  }
  return rows;
}

std::size_t TextWidth(std::string_view text) {
  std::size_t count = 0;
  for (std::size_t pos = 0; pos < text.size(); ++count) NextCodePoint(text, pos);
  return count;
}

std::string Padded(std::string text, std::size_t width) {
  const std::size_t have = TextWidth(text);
  if (have < width) text.append(width - have, ' ');
  return text;
}

nlohmann::json RowJson(const Row& row) {
  TStorage* s = row.storage;
  nlohmann::json j;
  j["addr"] = row.addr;
  j["name"] = TDeviceManager::DisplayName(s, false);
  j["size"] = s->Size;
  j["size_text"] = TDeviceManager::SizeText(s);
  j["fs_type"] = s->FsType;
  j["type_name"] = TypeName(row);
  j["kind"] = row.entry != nullptr ? nlohmann::json(row.entry->Kind) : nlohmann::json(nullptr);
  j["kind_name"] = row.entry != nullptr ? PartitionKindName(row.entry->Kind) : "Device";
  j["start"] = row.start;
  j["sectors"] = row.sectors;
  j["sector_size"] = s->SectorSize;
  j["metadata"] = s->Metadata;
  j["source"] = StorageSourceName(s->StorageSource);
  j["type"] = StorageTypeName(s->StorageType);
  j["user_added"] = s->UserAdded();
  if (row.entry != nullptr) {
    j["label"] = row.entry->Label;
    j["ordinal"] = row.entry->Ordinal;
    j["windows_path"] = row.entry->WindowsPath;
  }
  if (auto* raid = dynamic_cast<TRaidDevice*>(s)) {
    j["raid_type"] = RaidTypeName(raid->Information().Type, true);
    j["raid_state"] = raid->RaidState;
    j["raid_state_name"] = RaidStateName(raid->RaidState);
  }
  if (auto* drive = dynamic_cast<THardDrive*>(s)) {
    j["path"] = drive->OsPath();
    j["vendor"] = drive->Vendor;
    j["product"] = drive->Product;
    j["revision"] = drive->Revision;
    j["serial"] = drive->Serial;
    j["bus"] = drive->BusTypeNameText;
    j["removable"] = drive->Removable;
  }
  return j;
}

int RunList(Session& session, bool all) {
  TDeviceManager& devices = session.Devices();
  std::vector<Row> rows = CollectRows(devices);
  // Free space and metadata (members, reserved partitions) only on request.
  std::erase_if(rows, [all](const Row& row) {
    return !all && (row.storage->Metadata || (row.entry != nullptr && row.entry->Kind == pkUnallocated));
  });
  if (session.Options().json) {
    nlohmann::json out = nlohmann::json::array();
    for (const Row& row : rows) out.push_back(RowJson(row));
    // Names and labels come from disk: never let a stray byte stop the listing.
    std::cout << out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  } else {
    // The name column is as wide as the widest name, counted in characters.
    std::vector<std::string> names;
    std::size_t width = 40;
    for (const Row& row : rows) {
      names.push_back(std::string(static_cast<std::size_t>(row.depth) * 2, ' ') +
                      TDeviceManager::DisplayName(row.storage, false));
      width = std::max(width, TextWidth(names.back()));
    }
    std::printf("%-7s %s %14s %12s %12s  %s\n", "ADDR", Padded("NAME", width).c_str(), "SIZE", "START", "SECTORS",
                "TYPE");
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const Row& row = rows[i];
      std::string type = TypeName(row);
      if (row.entry != nullptr) type = std::string(PartitionKindName(row.entry->Kind)) + (type.empty() ? "" : ", " + type);
      std::printf("%-7s %s %14s %12lld %12lld  %s\n", row.addr.c_str(), Padded(names[i], width).c_str(),
                  TDeviceManager::SizeText(row.storage).c_str(), static_cast<long long>(row.start),
                  static_cast<long long>(row.sectors), type.c_str());
    }
  }
  const auto denied = THddManager::AccessFailures();
  if (!denied.empty() && !session.Options().imagesOnly) {
    const char* advice = ::geteuid() == 0 ? "The system refuses access even to root (a container or sandbox?)."
                                          : "Run as root, or add your user to the 'disk' group and log in again.";
    std::fprintf(stderr, "vandrel-cli: %zu disk(s) could not be opened for reading (%s%s). %s\n", denied.size(),
                 denied.front().c_str(), denied.size() > 1 ? ", ..." : "", advice);
  }
  return kExitOk;
}

const CommandRegistrar kRegistrar{{"list", "List disks, images and their partitions", [](CLI::App& command) {
                                     auto all = std::make_shared<bool>(false);
                                     command.add_flag("--all", *all, "Also show metadata and free-space rows");
                                     return std::function<int(Session&)>(
                                         [all](Session& session) { return RunList(session, *all); });
                                   }}};

}  // namespace
}  // namespace vandrel::cli
