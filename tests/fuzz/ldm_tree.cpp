// Any bytes as a dynamic-disk database: the area pointers, the slot walk,
// fragment joining, linking and the candidates must stay inside the buffer.
#include <cstddef>
#include <cstdint>

#include "volumes/ldm/ldm_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vandrel;
  const ByteSpan bytes(data, size);
  TLdmTree tree;
  tree.BuildLdmTree(bytes, size);
  TRaidInfoArray candidates;
  tree.BuildLdmCandidates(candidates);
  tree.BuildLdmCandidates(candidates);  // a second copy of the database merges
  if (size >= 512) {
    TPrivHead head;
    if (ParsePrivHead(bytes.last(512), head)) {
      LdmVblkArea area;
      if (LocateVblkArea(bytes, 0, 512, head, area) == LdmAreaStatus::kOk) {
        tree.BuildLdmTree(bytes.subspan(area.Offset), area.Length);
      }
    }
  }
  return 0;
}
