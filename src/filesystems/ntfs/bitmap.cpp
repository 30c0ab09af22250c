// The volume's $Bitmap: which clusters are in use, the free space and its
// dump.
#include <algorithm>
#include <fstream>

#include "common/error_codes.h"
#include "common/log.h"
#include "common/text.h"
#include "filesystems/ntfs/ntfs.h"

namespace vandrel {

void TNTFS::LoadBitmap() {
  bitmap_.clear();
  TNtfs_File_Streams s;
  TNtfsAttrDesc d;
  if (!LoadRecord(6, s) || !CollectAttribute(s, kNtfsAttrData, "", d)) {
    LogEvent(kSenderNtfs, kErrBitmap, 0, "Error while retriving BitmapSize", 0);
    return;
  }
  const std::int64_t size = EffectiveSize(d, clusterSize_);
  LogEvent(kSenderNtfs, kErrNone, 0, "BitmapSize: " + std::to_string(size), 0);
  // One bit per cluster, rounded up to 8 bytes by the writers.
  const std::int64_t cap = (clusterCount_ + 7) / 8 + 8;
  if (!ReadAttributeValue(d, bitmap_, static_cast<std::size_t>(std::min<std::int64_t>(std::max<std::int64_t>(cap, 0), 512 << 20))))
    LogEvent(kSenderNtfs, kErrBitmap, 0, "BitmapSize: " + std::to_string(size), 1);
}

bool TNTFS::IsSectorInUse(std::int64_t sector) {
  if (clusterSize_ == 0 || sector < 0 || storage_ == nullptr) return false;
  const std::int64_t cluster = sector * storage_->SectorSize / clusterSize_;
  const auto byte = static_cast<std::uint64_t>(cluster / 8);
  return byte < bitmap_.size() && ((bitmap_[byte] >> (cluster % 8)) & 1) != 0;
}

bool TNTFS::GetFreeSpace(std::int64_t& bytes) {
  if (freeSpace_ < 0) {
    std::int64_t free = 0;
    const std::int64_t bits = std::min<std::int64_t>(clusterCount_, static_cast<std::int64_t>(bitmap_.size()) * 8);
    for (std::int64_t c = 0; c < bits; ++c)
      if (((bitmap_[static_cast<std::size_t>(c / 8)] >> (c % 8)) & 1) == 0) ++free;
    freeSpace_ = free * clusterSize_;
  }
  bytes = freeSpace_;
  return bytes != 0;
}

void TNTFS::SaveFreeSpace(const std::string& fileName) {
  std::ofstream file(fileName, std::ios::binary | std::ios::trunc);
  if (!file) return;
  std::vector<std::uint8_t> cluster(clusterSize_);
  std::int64_t saved = 0;
  const std::int64_t bits = std::min<std::int64_t>(clusterCount_, static_cast<std::int64_t>(bitmap_.size()) * 8);
  for (std::int64_t c = 0; c < bits; ++c) {
    if (((bitmap_[static_cast<std::size_t>(c / 8)] >> (c % 8)) & 1) != 0) continue;
    ReadVolume(c * clusterSize_, cluster.data(), cluster.size());
    file.write(reinterpret_cast<const char*>(cluster.data()), static_cast<std::streamsize>(cluster.size()));
    ++saved;
  }
  LogText("Total free " + std::to_string(saved) + " clusters");
}

}  // namespace vandrel
