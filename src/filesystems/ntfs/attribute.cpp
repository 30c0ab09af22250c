#include "filesystems/ntfs/attribute.h"

#include <algorithm>

namespace vandrel {

std::int64_t TNtfsAttrDesc::CoveredBytes(std::uint32_t clusterSize) const {
  if (Runs.empty()) return 0;
  const TRunNode& last = Runs.back();
  return (last.Vcn + last.Length) * static_cast<std::int64_t>(clusterSize);
}

std::int64_t EffectiveSize(const TNtfsAttrDesc& d, std::uint32_t clusterSize) {
  if (d.Resident) return static_cast<std::int64_t>(d.Value.size());
  const std::int64_t covered = d.CoveredBytes(clusterSize);
  if (d.DataSize < 0) return covered;
  return std::min(d.DataSize, covered);
}

TDamage DescDamage(const TNtfsAttrDesc& d, std::uint32_t clusterSize) {
  if (d.Resident) return TDamage::None;
  for (const TRunNode& r : d.Runs)
    if (r.Lcn == kLcnOutside) return TDamage::RunOutsideVolume;
  if (d.Damage != TDamage::None) return d.Damage;
  if (d.DataSize > d.CoveredBytes(clusterSize) || d.DataSize > d.AllocatedSize) return TDamage::SizeBeyondMap;
  return TDamage::None;
}

void DescFromHeader(ByteSpan record, const TNtfsAttrHeader& h, std::int64_t recordNumber, std::int64_t clusterCount,
                    TNtfsAttrDesc& d) {
  d = {};
  d.Type = h.Type;
  d.Flags = h.Flags;
  d.RecordNumber = recordNumber;
  if (!h.NonResident) {
    d.Resident = true;
    if (Fits(record, h.ValueOffset, h.ValueLength))
      d.Value.assign(record.begin() + h.ValueOffset, record.begin() + h.ValueOffset + h.ValueLength);
    d.DataSize = d.InitializedSize = d.AllocatedSize = static_cast<std::int64_t>(d.Value.size());
    return;
  }
  d.CompressionUnit = h.CompressionUnit;
  d.AllocatedSize = h.AllocatedSize;
  d.DataSize = h.DataSize;
  d.InitializedSize = h.InitializedSize;
  if (h.RunlistLength > 0 && Fits(record, h.RunlistOffset, h.RunlistLength))
    DecodeRunlist(record.subspan(h.RunlistOffset, h.RunlistLength), h.StartVcn, clusterCount, d.Runs);
  // The runs of an extent end exactly after its last VCN. `end` is at least
  // the start VCN (not negative), so `end - 1` cannot overflow.
  const std::int64_t end = d.Runs.empty() ? std::max<std::int64_t>(h.StartVcn, 0) : d.Runs.back().Vcn + d.Runs.back().Length;
  if (h.LastVcn > end - 1) d.Damage = TDamage::RunlistShort;
  else if (h.LastVcn < end - 1) d.Damage = TDamage::RunlistLong;
}

}  // namespace vandrel
