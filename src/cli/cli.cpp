#include "cli/cli.h"

#include <unistd.h>

#include "platform/errors.h"
#include "storage/hard_drive.h"

namespace vandrel::cli {

std::vector<CommandSpec>& Commands() {
  static std::vector<CommandSpec> commands;
  return commands;
}

Session::~Session() = default;

TDeviceManager& Session::Devices() {
  if (!devices_) {
    DeviceManagerOptions options;
    options.scanPhysical = !options_.imagesOnly;
    devices_ = std::make_unique<TDeviceManager>(nullptr, nullptr, options);
    devices_->RefreshAll();
    for (const std::string& image : options_.images) {
      platform::SetLastOsError(0);
      if (devices_->AddByPath(image, -1) == nullptr) {
        const int error = platform::LastOsError();
        throw CliError(kExitFailure,
                       "cannot open image: " + image + (error != 0 ? ": " + platform::OsErrorText(error) : ""));
      }
    }
    // Arrays and dynamic volumes may span the images just added.
    for (int slot = 1; slot < kSlotCount; ++slot) devices_->RefreshManager(devices_->Manager(slot));
  }
  return *devices_;
}

namespace {

bool ParseIndex(const std::string& text, std::int32_t& value) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  value = static_cast<std::int32_t>(std::stol(text));
  return true;
}

}  // namespace

Address ParseAddress(const std::string& text) {
  Address address;
  address.text = text;
  const auto colon = text.find(':');
  const std::string devicePart = text.substr(0, colon);
  if (!ParseIndex(devicePart, address.device) ||
      (colon != std::string::npos && !ParseIndex(text.substr(colon + 1), address.partition)))
    throw CliError(kExitUsage, "invalid address '" + text + "' (expected D or D:P)");
  return address;
}

TStorage* ResolveAddress(Session& session, const Address& address) {
  TStorage* storage = session.Devices().GetStorage(address.device);
  if (storage == nullptr) throw CliError(kExitFailure, "no storage at address " + address.text);
  if (address.partition < 0) return storage;
  auto* device = dynamic_cast<TDevice*>(storage);
  TStorage* partition = device != nullptr ? device->GetPartition(address.partition) : nullptr;
  if (partition == nullptr) throw CliError(kExitFailure, "no partition at address " + address.text);
  return partition;
}

TStorage* ResolveFileSystemVolume(Session& session, const Address& address) {
  TStorage* storage = ResolveAddress(session, address);
  auto* disk = dynamic_cast<TStorageWithPartitions*>(storage);
  if (address.partition >= 0 || disk == nullptr) return storage;
  for (const TPartitionInformation& entry : disk->Partitions) {
    const bool wholeDisk = entry.Kind == pkWithoutTable || entry.Kind == pkFloppy || entry.Kind == pkDirectDisk;
    if (wholeDisk && entry.Start == 0 && entry.Count == disk->SectorCount && entry.Partition) return entry.Partition.get();
  }
  return storage;
}

std::string FormatAddress(std::int32_t device, std::int32_t partition) {
  return partition < 0 ? std::to_string(device) : std::to_string(device) + ":" + std::to_string(partition);
}

bool IsTerminal(int fd) { return ::isatty(fd) != 0; }

}  // namespace vandrel::cli
