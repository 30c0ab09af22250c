#include "filesystems/ntfs/file_name.h"

#include "filesystems/ntfs/record.h"

namespace vandrel {

bool ParseFileName(ByteSpan v, TNtfsFileName& out) {
  if (!Fits(v, 0, kNtfsFileNameHeaderLength)) return false;
  out.Parent = Le64(v, kNtfsFileNameParent) & kNtfsRecordMask;
  out.CreationTime = Le64(v, kNtfsFileNameCreationTime);
  out.WriteTime = Le64(v, kNtfsFileNameWriteTime);
  out.ChangeTime = Le64(v, kNtfsFileNameChangeTime);
  out.AccessTime = Le64(v, kNtfsFileNameAccessTime);
  out.AllocatedSize = LeS64(v, kNtfsFileNameAllocatedSize);
  out.RealSize = LeS64(v, kNtfsFileNameRealSize);
  out.Flags = Le32(v, kNtfsFileNameFlags);
  out.Namespace = Le8(v, kNtfsFileNameNamespace);
  // A name longer than the value is cut at its end.
  out.Name = NtfsNameAt(v, kNtfsFileNameName, Le8(v, kNtfsFileNameLength), v.size());
  return true;
}

void TNtfsNameChoice::Offer(const TNtfsFileName& name) {
  if (name.Namespace == kNtfsNamespaceWin32 || name.Namespace == kNtfsNamespaceWin32AndDos) {
    primary_ = name;
  } else if (name.Namespace == kNtfsNamespacePosix) {
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
