#include <blkid/blkid.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

#include <cctype>
#include <cstdlib>
#include <map>
#include <sstream>

#include "platform/linux/sysfs.h"
#include "platform/volumes.h"

namespace vandrel::platform {
namespace {

using linux_detail::ListDirectory;
using linux_detail::ReadLine;
using linux_detail::ReadNumber;
using linux_detail::ReadTextFile;
using linux_detail::Unescape;

// Mount points by device number, in the order the kernel lists them.
std::map<dev_t, std::vector<std::string>> ReadMountPoints() {
  std::map<dev_t, std::vector<std::string>> points;
  std::istringstream lines(ReadTextFile("/proc/self/mountinfo", 4 << 20));
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string id, parent, majorMinor, root, mountPoint;
    if (!(fields >> id >> parent >> majorMinor >> root >> mountPoint)) continue;
    const auto colon = majorMinor.find(':');
    if (colon == std::string::npos || root != "/") continue;
    unsigned maj = 0, min = 0;
    try {
      maj = static_cast<unsigned>(std::stoul(majorMinor.substr(0, colon)));
      min = static_cast<unsigned>(std::stoul(majorMinor.substr(colon + 1)));
    } catch (...) {
      continue;
    }
    points[makedev(maj, min)].push_back(Unescape(mountPoint));
  }
  return points;
}

std::uint32_t SerialFromUuid(const std::string& uuid, const std::string& type) {
  std::string hex;
  for (char c : uuid)
    if (std::isxdigit(static_cast<unsigned char>(c))) hex.push_back(c);
  if (type == "vfat" && hex.size() == 8) return static_cast<std::uint32_t>(std::stoul(hex, nullptr, 16));
  if (type == "ntfs" && hex.size() == 16) return static_cast<std::uint32_t>(std::stoull(hex, nullptr, 16));
  return 0;
}

void Probe(blkid_cache cache, SystemVolume& volume) {
  if (cache == nullptr) return;
  auto tag = [&](const char* name) {
    char* value = blkid_get_tag_value(cache, name, volume.device.c_str());
    std::string text = value != nullptr ? value : "";
    free(value);  // NOLINT: allocated by libblkid
    return text;
  };
  volume.label = tag("LABEL");
  volume.uuid = tag("UUID");
  volume.fsType = tag("TYPE");
  volume.serial = volume.uuid.empty() ? 0 : SerialFromUuid(volume.uuid, volume.fsType);
}

}  // namespace

std::vector<SystemVolume> ReadSystemVolumes() {
  std::vector<SystemVolume> volumes;
  const auto mountPoints = ReadMountPoints();
  blkid_cache cache = nullptr;
  if (blkid_get_cache(&cache, "/dev/null") != 0) cache = nullptr;
  for (const std::string& disk : ListDirectory("/sys/block")) {
    const std::string diskDir = "/sys/block/" + disk;
    // The disk itself may carry a file system without a partition table.
    std::vector<std::pair<std::string, std::string>> candidates = {{disk, diskDir}};
    for (const std::string& child : ListDirectory(diskDir))
      if (child.starts_with(disk)) candidates.emplace_back(child, diskDir + "/" + child);
    for (const auto& [name, dir] : candidates) {
      SystemVolume volume;
      volume.device = "/dev/" + name;
      volume.disk = disk;
      if (name != disk && !ReadNumber(dir + "/start", volume.start)) continue;
      ReadNumber(dir + "/size", volume.sectors);
      struct stat st {};
      if (::stat(volume.device.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
        const auto it = mountPoints.find(st.st_rdev);
        if (it != mountPoints.end()) volume.mountPoints = it->second;
      }
      if (name == disk && volume.mountPoints.empty()) continue;
      Probe(cache, volume);
      volumes.push_back(std::move(volume));
    }
  }
  if (cache != nullptr) blkid_put_cache(cache);
  return volumes;
}

bool FreeSpace(const std::string& folder, std::uint64_t& freeBytes, std::uint64_t& totalBytes) {
  struct statvfs st {};
  if (::statvfs(folder.c_str(), &st) != 0) return false;
  freeBytes = static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
  totalBytes = static_cast<std::uint64_t>(st.f_blocks) * st.f_frsize;
  return true;
}

}  // namespace vandrel::platform
