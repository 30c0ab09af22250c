// The volumes the operating system itself knows: kernel partitions with
// their mount points, labels and identifiers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vandrel::platform {

struct SystemVolume {
  std::string device;        // "/dev/sda1"
  std::string disk;          // kernel name of the whole disk, "sda"
  std::uint64_t start = 0;   // first sector on the disk, 512-byte units
  std::uint64_t sectors = 0; // length, 512-byte units
  std::vector<std::string> mountPoints;  // first the main one
  std::string label;
  std::string uuid;
  std::string fsType;
  std::uint32_t serial = 0;  // volume serial where the file system has one
};

// Built fresh at every call; empty when nothing can be read.
std::vector<SystemVolume> ReadSystemVolumes();

// Free bytes of a mounted folder; false when it cannot be told.
bool FreeSpace(const std::string& folder, std::uint64_t& freeBytes, std::uint64_t& totalBytes);

}  // namespace vandrel::platform
