#include "filesystems/partition_recovery.h"

#include <algorithm>
#include <array>
#include <limits>

#include "common/endian.h"
#include "common/log.h"
#include "filesystems/fat/boot_sector.h"
#include "filesystems/ntfs/boot_sector.h"
#include "platform/locale.h"
#include "storage/bus_manager.h"

namespace vandrel {

namespace {

constexpr std::array<std::uint8_t, 4> kFileSignature = {'F', 'I', 'L', 'E'};

bool AddOk(std::int64_t a, std::int64_t b, std::int64_t& out) { return !__builtin_add_overflow(a, b, &out); }

// Volume sectors of `unit` bytes as device sectors; false when the product
// overflows or does not fall on a device-sector boundary.
bool ToDeviceSectors(std::int64_t volumeSectors, std::int64_t unit, std::int64_t sectorSize, std::int64_t& out) {
  std::int64_t bytes = 0;
  if (__builtin_mul_overflow(volumeSectors, unit, &bytes) || bytes % sectorSize != 0) return false;
  out = bytes / sectorSize;
  return true;
}

// The volume's own sector size when it is a plausible one, else the device's.
std::int64_t VolumeUnit(std::uint16_t bytesPerSector, std::int64_t deviceSectorSize) {
  const bool power = bytesPerSector >= 256 && (bytesPerSector & (bytesPerSector - 1)) == 0;
  return power ? bytesPerSector : deviceSectorSize;
}

}  // namespace

TPartitionRecovery::TPartitionRecovery(TStorageWithPartitions* device) : device_(device) {}

bool TPartitionRecovery::ReadSector(std::int64_t sector) {
  return sector >= 0 && device_->ReadSectors(scratch_.data(), 1, sector);
}

bool TPartitionRecovery::SectorBeginsWith(std::int64_t sector, std::span<const std::uint8_t> bytes) {
  return ReadSector(sector) && bytes.size() <= scratch_.size() &&
         std::equal(bytes.begin(), bytes.end(), scratch_.begin());
}

void TPartitionRecovery::Scan() {
  const std::int64_t n = device_->SectorCount;
  if (device_->SectorSize <= 0 || n <= 0) return;
  const bool savedCaching = device_->CacheEnabled;
  scratch_.assign(static_cast<std::size_t>(std::max(device_->SectorSize, 512)), 0);
  try {
    TFoundVolume volume;
    int finds = 0;
    bool endScan = false;
    for (std::int64_t p = kForwardStart; p < n;) {
      device_->SetCaching(false);
      if (!Probe(p, volume)) break;
      if (++finds > kMaxFinds) {
        endScan = true;
        break;
      }
      if (!AddOk(p, volume.Size, p)) break;
    }
    int steps = 0;
    for (std::int64_t p = n - 1; !endScan && p > 0;) {
      if (++steps > kMaxFinds) break;
      device_->SetCaching(false);
      if (Probe(p, volume)) {
        if (!AddOk(p, 1 - volume.Size, p)) break;
      } else if (p == n - 1) {
        p = n - kBackwardRetry;
      } else {
        break;
      }
      --p;
    }
  } catch (...) {
    // The search is a bonus on top of the tables: it ends quietly.
  }
  device_->SetCaching(savedCaching);
  scratch_.clear();
  boot_.clear();
}

bool TPartitionRecovery::Probe(std::int64_t position, TFoundVolume& volume) {
  if (!ReadSector(position)) return false;
  if (scratch_[510] != 0x55 || scratch_[511] != 0xAA) return false;
  boot_ = scratch_;  // the hypotheses read other sectors into the scratch
  if (ProbeNtfs(position, volume)) return true;
  return ProbeFat(position, volume);
}

bool TPartitionRecovery::ProbeNtfs(std::int64_t p, TFoundVolume& volume) {
  const ByteSpan s(boot_);
  static constexpr std::array<std::uint8_t, 4> kDriveSignature = {0x80, 0x00, 0x80, 0x00};
  if (s.size() < 64 ||
      !EqualNoCase(std::string_view(reinterpret_cast<const char*>(s.data()) + kNtfsBootOemId, 8), "NTFS    ") ||
      !std::equal(kDriveSignature.begin(), kDriveSignature.end(), s.begin() + kNtfsBootDriveSignature))
    return false;
  const std::int64_t sectorSize = device_->SectorSize;
  const std::int64_t unit = VolumeUnit(Le16(s, kNtfsBootBytesPerSector), sectorSize);
  const std::int64_t total = LeS64(s, kNtfsBootTotalSectors);
  // Clusters above 64 KiB store the size as a negative power of two.
  const std::uint8_t spcByte = Le8(s, kNtfsBootSectorsPerCluster);
  const std::int64_t spc = spcByte <= 0x80 ? spcByte : (spcByte >= 0xE1 ? std::int64_t{1} << (256 - spcByte) : 0);
  std::int64_t mft = 0, mirror = 0, totalDevice = 0, size = 0;
  if (total <= 0 || total == std::numeric_limits<std::int64_t>::max() || spc == 0 ||
      __builtin_mul_overflow(LeS64(s, kNtfsBootMftLcn), spc, &mft) ||
      __builtin_mul_overflow(LeS64(s, kNtfsBootMirrLcn), spc, &mirror) || !ToDeviceSectors(mft, unit, sectorSize, mft) ||
      !ToDeviceSectors(mirror, unit, sectorSize, mirror) || !ToDeviceSectors(total, unit, sectorSize, totalDevice) ||
      !ToDeviceSectors(total + 1, unit, sectorSize, size))
    return false;

  auto holdsRecords = [&](std::int64_t base) {
    std::int64_t a = 0, b = 0;
    return AddOk(base, mft, a) && AddOk(base, mirror, b) && SectorBeginsWith(a, kFileSignature) &&
           SectorBeginsWith(b, kFileSignature);
  };
  const bool primary = holdsRecords(p);
  const std::int64_t q = p - totalDevice;
  std::int64_t qMft = 0;
  const bool backup = AddOk(q, mft, qMft) && qMft > 0 && holdsRecords(q);
  if (primary == backup) return false;

  volume = {};
  volume.Start = primary ? p : q;
  volume.BootPosition = primary ? p : -1;
  volume.BackupPosition = primary ? -1 : p;
  volume.Size = size;  // the NTFS count leaves out the backup boot sector
  volume.Type = 0x07;
  volume.Proven = true;
  Record(volume);
  return true;
}

bool TPartitionRecovery::ProbeFat(std::int64_t p, TFoundVolume& volume) {
  const ByteSpan s(boot_);
  const bool jump = (s[0] == 0xEB && s[2] == 0x90) || s[0] == 0xE9;
  const TFatBpb bpb = ParseFatBpb(s);
  const std::int64_t bytesPerSector = bpb.BytesPerSector;
  const std::int64_t spc = bpb.SectorsPerCluster;
  const bool spcPower = spc != 0 && (spc & (spc - 1)) == 0;
  if (!jump || bytesPerSector == 0 || bytesPerSector % 512 != 0 || !spcPower) return false;

  const std::int64_t fatSize = bpb.SectorsPerFat;
  const std::int64_t total = bpb.TotalSectors;
  const std::int64_t reserved = bpb.ReservedSectors;
  const std::int64_t fats = bpb.FatCount;
  const std::int64_t rootSectors = (std::int64_t{bpb.RootEntries} * 32 + bytesPerSector - 1) / bytesPerSector;
  const std::int64_t clusters = (total - rootSectors - reserved - fatSize * fats) / spc;
  std::uint8_t type = 0x04;
  if (clusters <= 4084) type = 0x01;
  else if (clusters > 65524) type = 0x0B;

  std::int64_t reference = fats * fatSize + reserved;
  if (type == 0x0B) reference += (std::int64_t{bpb.RootCluster} - 2) * spc;
  const std::int64_t firstFat = reserved;
  const std::int64_t secondFat = reserved + fatSize;
  const std::int64_t sectorSize = device_->SectorSize;
  const std::int64_t unit = bytesPerSector;
  std::int64_t referenceDevice = 0, firstDevice = 0, secondDevice = 0, backupShift = 0, size = 0;
  if (!ToDeviceSectors(reference, unit, sectorSize, referenceDevice) ||
      !ToDeviceSectors(firstFat, unit, sectorSize, firstDevice) ||
      !ToDeviceSectors(secondFat, unit, sectorSize, secondDevice) ||
      !ToDeviceSectors(6, unit, sectorSize, backupShift) || !ToDeviceSectors(total, unit, sectorSize, size))
    return false;

  // The first FAT entry repeats the media byte; the tools write 0xF8 on
  // hard disks and 0xF0 on floppies, also for FAT12.
  const std::uint8_t media = bpb.Media;
  auto fatStarts = [&](std::int64_t sector) {
    if (!ReadSector(sector)) return false;
    const ByteSpan f(scratch_);
    const bool firstByte = f[0] == media || f[0] == (type == 0x01 ? 0xF0 : 0xF8);
    if (!firstByte || f[1] != 0xFF || f[2] != 0xFF) return false;
    if (type == 0x04) return f[3] == 0xFF;
    if (type == 0x0B) return f[3] == 0x0F && f[4] == 0xFF && f[5] == 0xFF && f[6] == 0xFF && (f[7] & 0x0F) == 0x0F;
    return true;
  };
  auto holds = [&](std::int64_t base) {
    std::int64_t a = 0, b = 0, c = 0;
    if (!AddOk(base, referenceDevice, a) || !ReadSector(a)) return false;
    return (AddOk(base, firstDevice, b) && fatStarts(b)) || (AddOk(base, secondDevice, c) && fatStarts(c));
  };
  const bool primary = holds(p);
  const bool backup = holds(p - backupShift);
  if (primary == backup || size <= 0) return false;

  volume = {};
  volume.Start = primary ? p : p - backupShift;
  volume.BootPosition = primary ? p : -1;
  volume.BackupPosition = primary ? -1 : p;
  volume.Size = size;
  volume.Type = type;
  volume.Proven = true;
  Record(volume);
  return true;
}

void TPartitionRecovery::Record(const TFoundVolume& volume) {
  for (TFoundVolume& known : found_) {
    if (known.Start != volume.Start || known.Size != volume.Size) continue;
    if (volume.BootPosition != -1) known.BootPosition = volume.BootPosition;
    if (volume.BackupPosition != -1) known.BackupPosition = volume.BackupPosition;
    if (volume.Proven) known.Proven = true;
    if (known.Type != volume.Type) known.Type = 0;
    return;
  }
  found_.push_back(volume);
  if (Notify)
    Notify(volume.Type, static_cast<std::int32_t>(found_.size() - 1), device_->SectorSize, volume.Size, volume.Start);
}

}  // namespace vandrel
