// The machine's whole-disk block devices and what the kernel knows of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vandrel::platform {

// Bus codes as the storage layer names them ("Scsi", "Ata", "Usb", ...).
enum BusTypeCode : std::uint8_t {
  kBusUnknown = 0, kBusScsi = 1, kBusAtapi = 2, kBusAta = 3, kBus1394 = 4, kBusSsa = 5,
  kBusFibre = 6, kBusUsb = 7, kBusRaid = 8, kBusIScsi = 9, kBusSas = 10, kBusSata = 11,
  kBusSd = 12, kBusMmc = 13, kBusMax = 14, kBusVirtio = 15, kBusNvme = 16,
};

struct DiskProperties {
  std::string vendor;
  std::string product;
  std::string revision;
  std::string serial;
  std::uint8_t busType = kBusUnknown;
  bool removable = false;
};

// Device paths of the whole disks, numbered by their position: by kind of
// device, then natural order of the name. Loop devices count only with a
// backing file; ram, zram, device-mapper and md devices are left out.
std::vector<std::string> ListPhysicalDisks();
// Properties of a disk by its device path; false when the kernel has none.
bool QueryDiskProperties(const std::string& devicePath, DiskProperties& out);
// Kernel name of a disk ("sda") from its path, or "".
std::string KernelDiskName(const std::string& devicePath);
// The floppy drive's device path, or "" when the machine has none.
std::string FloppyPath();
// Natural order of names: "loop2" before "loop10".
bool NaturalLess(const std::string& a, const std::string& b);

}  // namespace vandrel::platform
