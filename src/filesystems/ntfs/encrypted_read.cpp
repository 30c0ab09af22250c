// An encrypted file read without its key: the raw export of its $EFS
// metadata and its still-encrypted streams.
#include "filesystems/block_file_stream_storage.h"
#include "filesystems/dir_list_ex.h"
#include "filesystems/ntfs/efs.h"
#include "filesystems/ntfs/ntfs.h"

namespace vandrel {

std::unique_ptr<TEncryptedFileRaw> TNTFS::OpenEncryptedRaw(const TFileEntry& entry) {
  TDirListEx list;
  if (!ListStreams(entry, list)) return nullptr;
  // The streams are opened raw on a private copy of the entry, so that
  // their opening does not come back here. This reader serves them itself;
  // without a storage in the entry their streams leave the storage's read
  // window to whoever opened the file.
  TFileEntry raw = entry;
  raw.Fs = this;
  raw.Storage = nullptr;
  TAdsStreams streams;
  std::unique_ptr<TStream> efs;
  for (std::int32_t i = 0; i < list.Count(); ++i) {
    const TFileEntry& item = *list.Items(i);
    if (item.ParentId == kNtfsAttrData) {
      if (streams.size() >= kEfsMaxStreams || item.Size > kEfsMaxStreamSize) return nullptr;
      streams.push_back({item.Name, item.Size,
                         std::make_unique<TBlockFileStreamStorage>(raw, kNtfsAttrData, item.Name, -1, true, true)});
    } else if (item.ParentId == kNtfsAttrLoggedUtility && item.Name == "$EFS" && !efs) {
      efs = std::make_unique<TBlockFileStreamStorage>(raw, kNtfsAttrLoggedUtility, item.Name, -1, true);
    }
  }
  if (!efs) return nullptr;
  return std::make_unique<TEncryptedFileRaw>(std::move(efs), std::move(streams));
}

std::int64_t TNTFS::EncryptedRawSize(const TFileEntry& entry) {
  TDirListEx list;
  if (!ListStreams(entry, list)) return -1;
  std::int64_t efsSize = -1;
  std::int64_t parts = 0;
  std::size_t count = 0;
  for (std::int32_t i = 0; i < list.Count(); ++i) {
    const TFileEntry& item = *list.Items(i);
    if (item.ParentId == kNtfsAttrData) {
      if (++count > kEfsMaxStreams || item.Size > kEfsMaxStreamSize) return -1;
      parts += EfsStreamPartLength(item.Name, RawStreamSize(item.Size));
    } else if (item.ParentId == kNtfsAttrLoggedUtility && item.Name == "$EFS" && efsSize < 0) {
      efsSize = item.Size;
    }
  }
  return efsSize < 0 ? -1 : EfsHeaderLength(efsSize) + parts;
}

}  // namespace vandrel
