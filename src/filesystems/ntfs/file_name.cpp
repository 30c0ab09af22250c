#include "filesystems/ntfs/file_name.h"

#include "filesystems/ntfs/record.h"

namespace vandrel {

bool ParseFileName(ByteSpan v, TNtfsFileName& out) {
  if (!Fits(v, 0, 66)) return false;
  out.Parent = Le64(v, 0) & kNtfsRecordMask;
  out.CreationTime = Le64(v, 8);
  out.WriteTime = Le64(v, 16);
  out.ChangeTime = Le64(v, 24);
  out.AccessTime = Le64(v, 32);
  out.AllocatedSize = LeS64(v, 40);
  out.RealSize = LeS64(v, 48);
  out.Flags = Le32(v, 56);
  out.Namespace = Le8(v, 65);
  out.Name = NtfsNameAt(v, 66, Le8(v, 64), v.size());
  return true;
}

void TNtfsNameChoice::Offer(const TNtfsFileName& name) {
  if (name.Namespace == 1 || name.Namespace == 3) {
    primary_ = name;
  } else if (name.Namespace == 0) {
    if (primary_.Name.empty()) primary_ = name;
  } else if (name.Namespace == kNtfsNamespaceDos && !hasFallback_) {
    fallback_ = name;
    hasFallback_ = true;
  }
}

void TNtfsNameChoice::Offer(const TNtfsNameChoice& later) {
  // Its primary is the name that wins among its own, so offering it wins
  // or loses here as the whole sequence would; its fallback is its first
  // DOS name.
  if (!later.primary_.Name.empty()) Offer(later.primary_);
  if (later.hasFallback_) Offer(later.fallback_);
}

}  // namespace vandrel
