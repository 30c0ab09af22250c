#include "filesystems/ntfs/runlist.h"

#include <algorithm>

namespace vandrel {

bool DecodeRunlist(ByteSpan runlist, std::int64_t startVcn, std::int64_t clusterCount, std::vector<TRunNode>& out) {
  // Keeps VCN x cluster size (at most 2 MiB) inside 64 bits.
  constexpr std::int64_t kMaxVcn = std::int64_t{1} << 40;
  if (startVcn < 0 || startVcn >= kMaxVcn) return false;
  std::size_t p = 0;
  std::int64_t lcn = 0;
  std::int64_t vcn = startVcn;
  bool any = false;
  while (p < runlist.size()) {
    const std::uint8_t header = runlist[p];
    const unsigned lengthSize = header & 0x0F;
    const unsigned offsetSize = header >> 4;
    if (header == 0 || lengthSize == 0 || lengthSize > 8 || offsetSize > 8) break;
    if (!Fits(runlist, p + 1, lengthSize + offsetSize)) break;
    const std::uint64_t length = LeN(runlist, p + 1, lengthSize);
    if (length == 0 || length > static_cast<std::uint64_t>(kMaxVcn - vcn)) break;
    TRunNode run;
    run.Vcn = vcn;
    run.Length = static_cast<std::int64_t>(length);
    if (offsetSize == 0) {
      run.Lcn = kLcnSparse;
    } else {
      const std::int64_t delta = LeSN(runlist, p + 1 + lengthSize, offsetSize);
      // Wrapping arithmetic: a damaged delta must not be undefined behaviour.
      lcn = static_cast<std::int64_t>(static_cast<std::uint64_t>(lcn) + static_cast<std::uint64_t>(delta));
      const std::int64_t limit = clusterCount > 0 ? clusterCount : kMaxVcn;
      const bool inside = lcn >= 0 && lcn < limit && run.Length <= limit - lcn;
      run.Lcn = inside ? lcn : kLcnOutside;
    }
    out.push_back(run);
    any = true;
    vcn += run.Length;
    p += 1 + lengthSize + offsetSize;
  }
  return any;
}

const TRunNode* FindRun(const std::vector<TRunNode>& runs, std::int64_t vcn) {
  auto it = std::upper_bound(runs.begin(), runs.end(), vcn, [](std::int64_t v, const TRunNode& r) { return v < r.Vcn; });
  if (it == runs.begin()) return nullptr;
  --it;
  return vcn < it->Vcn + it->Length ? &*it : nullptr;
}

std::int64_t NextRunStart(const std::vector<TRunNode>& runs, std::int64_t vcn) {
  auto it = std::upper_bound(runs.begin(), runs.end(), vcn, [](std::int64_t v, const TRunNode& r) { return v < r.Vcn; });
  return it == runs.end() ? -1 : it->Vcn;
}

}  // namespace vandrel
