// Runlists (mapping pairs): where an attribute's clusters lie.
#pragma once

#include <cstdint>
#include <vector>

#include "common/endian.h"

namespace vandrel {

// One decoded run: `Length` clusters from virtual cluster `Vcn`, at logical
// cluster `Lcn`; kLcnSparse for a run that holds no clusters.
struct TRunNode {
  std::int64_t Vcn = 0;
  std::int64_t Length = 0;
  std::int64_t Lcn = 0;
};
inline constexpr std::int64_t kLcnSparse = -1;
// A run whose clusters lie outside the volume: read as zeros.
inline constexpr std::int64_t kLcnOutside = -3;

// Mapping pairs from `startVcn` on. Runs that reach outside `clusterCount`
// clusters (when > 0) are kept as kLcnOutside. True when at least one run
// was decoded.
bool DecodeRunlist(ByteSpan runlist, std::int64_t startVcn, std::int64_t clusterCount, std::vector<TRunNode>& out);

// The run holding `vcn`, or nullptr; `runs` sorted by VCN.
const TRunNode* FindRun(const std::vector<TRunNode>& runs, std::int64_t vcn);
// First VCN at or after `vcn` where a run begins; -1 when none.
std::int64_t NextRunStart(const std::vector<TRunNode>& runs, std::int64_t vcn);

}  // namespace vandrel
