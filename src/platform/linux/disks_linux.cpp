#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>

#include "platform/disks.h"
#include "platform/linux/sysfs.h"

namespace vandrel::platform {
namespace {

using linux_detail::ListDirectory;
using linux_detail::ReadLine;
using linux_detail::ReadTextFile;
using linux_detail::TrimText;

// Order of device kinds in the disk numbering; unknown kinds come before loops.
int KindRank(const std::string& name) {
  static const std::array<const char*, 8> kPrefixes = {"sd", "hd", "vd", "xvd", "nvme", "mmcblk", "ubd", "loop"};
  for (std::size_t i = 0; i < kPrefixes.size(); ++i)
    if (name.starts_with(kPrefixes[i])) return static_cast<int>(i);
  return static_cast<int>(kPrefixes.size()) - 1;
}

bool Excluded(const std::string& name) {
  static const std::array<const char*, 7> kSkipped = {"ram", "zram", "dm-", "md", "sr", "fd", "nbd"};
  for (const char* prefix : kSkipped)
    if (name.starts_with(prefix)) return true;
  if (name.starts_with("loop")) {
    // A loop device counts only while an image is attached to it.
    return ReadLine("/sys/block/" + name + "/loop/backing_file").empty();
  }
  return false;
}

std::string SysBlockLink(const std::string& name) {
  std::array<char, 4096> buffer{};
  const ssize_t n = ::readlink(("/sys/block/" + name).c_str(), buffer.data(), buffer.size() - 1);
  return n > 0 ? std::string(buffer.data(), static_cast<std::size_t>(n)) : std::string();
}

std::uint8_t BusFromSysPath(const std::string& name, const std::string& link) {
  if (link.find("/usb") != std::string::npos) return kBusUsb;
  if (name.starts_with("nvme") || link.find("/nvme") != std::string::npos) return kBusNvme;
  if (name.starts_with("mmcblk") || link.find("/mmc") != std::string::npos) return kBusMmc;
  if (name.starts_with("vd") || link.find("/virtio") != std::string::npos) return kBusVirtio;
  if (link.find("/ata") != std::string::npos) return kBusAta;
  if (link.find("/host") != std::string::npos || name.starts_with("sd")) return kBusScsi;
  return kBusUnknown;
}

// Serial number from VPD page 0x80: a 4-byte header, then the text.
std::string SerialFromVpd(const std::string& path) {
  const std::string page = ReadTextFile(path, 512);
  if (page.size() <= 4) return {};
  const std::size_t length = static_cast<unsigned char>(page[3]);
  return TrimText(page.substr(4, std::min(length, page.size() - 4)));
}

std::string SerialFromUdev(const std::string& name) {
  struct stat st {};
  if (::stat(("/dev/" + name).c_str(), &st) != 0) return {};
  const std::string data = ReadTextFile("/run/udev/data/b" + std::to_string(major(st.st_rdev)) + ":" +
                                        std::to_string(minor(st.st_rdev)));
  const std::string key = "E:ID_SERIAL_SHORT=";
  const auto at = data.find(key);
  if (at == std::string::npos) return {};
  const auto end = data.find('\n', at);
  return TrimText(data.substr(at + key.size(), end == std::string::npos ? std::string::npos : end - at - key.size()));
}

}  // namespace

bool NaturalLess(const std::string& a, const std::string& b) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
      std::size_t ei = i;
      std::size_t ej = j;
      while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei]))) ++ei;
      while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej]))) ++ej;
      std::string na = a.substr(i, ei - i);
      std::string nb = b.substr(j, ej - j);
      na.erase(0, std::min(na.find_first_not_of('0'), na.size()));
      nb.erase(0, std::min(nb.find_first_not_of('0'), nb.size()));
      if (na.size() != nb.size()) return na.size() < nb.size();
      if (na != nb) return na < nb;
      i = ei;
      j = ej;
    } else {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i;
      ++j;
    }
  }
  return a.size() - i < b.size() - j;
}

std::vector<std::string> ListPhysicalDisks() {
  std::vector<std::string> names;
  for (const std::string& name : ListDirectory("/sys/block"))
    if (!Excluded(name)) names.push_back(name);
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    const int ra = KindRank(a);
    const int rb = KindRank(b);
    return ra != rb ? ra < rb : NaturalLess(a, b);
  });
  std::vector<std::string> paths;
  paths.reserve(names.size());
  for (const auto& name : names) paths.push_back("/dev/" + name);
  return paths;
}

std::string KernelDiskName(const std::string& devicePath) {
  if (!devicePath.starts_with("/dev/")) return {};
  std::string name = devicePath.substr(5);
  if (name.empty() || name.find('/') != std::string::npos) return {};
  return ::access(("/sys/block/" + name).c_str(), F_OK) == 0 ? name : std::string();
}

bool QueryDiskProperties(const std::string& devicePath, DiskProperties& out) {
  const std::string name = KernelDiskName(devicePath);
  if (name.empty()) return false;
  const std::string base = "/sys/block/" + name;
  out.vendor = ReadLine(base + "/device/vendor");
  out.product = ReadLine(base + "/device/model");
  out.revision = ReadLine(base + "/device/rev");
  if (out.revision.empty()) out.revision = ReadLine(base + "/device/firmware_rev");
  out.serial = ReadLine(base + "/device/serial");
  if (out.serial.empty()) out.serial = SerialFromVpd(base + "/device/vpd_pg80");
  if (out.serial.empty()) out.serial = SerialFromUdev(name);
  out.removable = ReadLine(base + "/removable") == "1";
  out.busType = BusFromSysPath(name, SysBlockLink(name));
  if (name.starts_with("loop")) {
    // A loop device is named after the image it serves.
    const std::string backing = ReadLine(base + "/loop/backing_file");
    if (out.product.empty()) out.product = backing.empty() ? name : backing;
  }
  if (out.product.empty()) out.product = name;
  return true;
}

std::string FloppyPath() { return ::access("/dev/fd0", F_OK) == 0 ? "/dev/fd0" : std::string(); }

}  // namespace vandrel::platform
