// A file or named stream read through the device manager's locked file
// wrappers.
#pragma once

#include <string_view>

#include "filesystems/block_file_stream_storage.h"

namespace vandrel {

class TDeviceManager;

// The same stream through the device manager's wrappers and their lock.
class TBlockFileStream : public TBlockFileStreamStorage {
 public:
  TBlockFileStream(const TFileEntry& entry, TDeviceManager* devices);
  ~TBlockFileStream() override;
  TStorage* Storage() const { return storage_; }

 protected:
  FsHandle OpenFileOp(const TFileEntry& entry) override;
  FsHandle OpenStreamOp(const TFileEntry& entry, const TStreamId& stream) override;
  std::int32_t ReadFileAtOp(FsHandle handle, std::int64_t offset, void* buffer, std::int32_t count) override;
  bool CloseFileOp(FsHandle handle) override;
  std::int64_t FileSizeOp(FsHandle handle) override;

 private:
  TDeviceManager* devices_ = nullptr;
  TStorage* storage_ = nullptr;
};

}  // namespace vandrel
