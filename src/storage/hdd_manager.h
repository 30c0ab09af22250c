// The bus manager of the machine's disks, the floppy and image files.
#pragma once

#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/volumes.h"
#include "storage/bus_manager.h"

namespace vandrel {

class THardDrive;

// The first mount path of the system volume on kernel disk `disk` (its name
// under /dev) that starts `startBytes` into it; empty when none is mounted.
std::string FindMountPath(std::span<const platform::SystemVolume> volumes, std::string_view disk,
                          std::uint64_t startBytes);

// Separator and prefix of a list of image files opened as one request.
inline constexpr const char* kImageListPrefix = "base_____";
inline constexpr char kImageListSeparator = '*';

class THddManager : public TBusManager {
 public:
  THddManager();
  ~THddManager() override;

  bool Enumerate() override;
  bool Refresh() override;
  std::int32_t DeviceCount() override { return static_cast<std::int32_t>(devices_.size()); }
  TDevice* GetDevice(std::int32_t index) override;
  TStorage* OpenByPath(const std::string& path) override;
  std::string GetVolumeName(TPartition* partition) override;

  // Scans the physical disks only when set; the floppy scan always follows
  // FloppyScan.
  bool FloppyScan = true;
  bool PhysicalScan = true;

  // Volumes the OS itself knows, rebuilt at every scan (used for the names
  // of partitions that the OS has mounted).
  static std::vector<platform::SystemVolume> SystemVolumes();
  static void RebuildSystemVolumes();

  // Disks that exist but could not be opened (permissions), from the last scan.
  static std::vector<std::string> AccessFailures();
  static void NoteAccessFailure(const std::string& path, int error);

 private:
  bool ScanDisks();
  bool OpenLetterDevice(char letter, const std::string& path);
  TStorage* OpenSinglePath(const std::string& path);
};

}  // namespace vandrel
