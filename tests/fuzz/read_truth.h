// Which files of each reader hold bytes that are not the image's own, for
// the read check of fs_walk.h.
#pragma once

#include "filesystems/ext/ext2.h"
#include "filesystems/ntfs/ntfs.h"
#include "fuzz/fs_walk.h"

namespace vandrel::fuzz {

// Compressed and encrypted data is served transformed; a resident value
// lies inside its record, not at a sector boundary.
inline bool NtfsTransformed(FileSystem& fs, const TFileEntry& file) {
  if ((file.Attributes & (kAttrCompressed | kAttrEncrypted)) != 0) return true;
  auto& ntfs = static_cast<TNTFS&>(fs);
  TNtfs_File_Streams streams;
  TNtfsAttrDesc data;
  if (!ntfs.LoadRecord(file.ObjectId, streams) || !ntfs.CollectAttribute(streams, kNtfsAttrData, "", data)) return true;
  return data.Resident || (data.Flags & (kNtfsFlagCompressed | kNtfsFlagEncrypted)) != 0;
}

// Inline data and fast link targets lie inside the inode.
inline bool ExtTransformed(FileSystem& fs, const TFileEntry& file) {
  if ((file.Attributes & kAttrSymlink) != 0) return true;
  Ext2Inode inode;
  if (file.ObjectId <= 0 || file.ObjectId > UINT32_MAX ||
      !static_cast<TExt2&>(fs).ReadInode(static_cast<std::uint32_t>(file.ObjectId), inode))
    return true;
  return (inode.flags & kExt2FlagInlineData) != 0;
}

}  // namespace vandrel::fuzz
