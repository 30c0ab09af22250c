#include "devices/block_file_stream.h"

#include "devices/device_manager.h"

namespace vandrel {

// ---------------------------------------------------------- TBlockFileStream

TBlockFileStream::TBlockFileStream(const TFileEntry& entry, TDeviceManager* devices)
    : TBlockFileStreamStorage(entry, DeferOpen{}), devices_(devices), storage_(entry.Storage) {
  OpenAsFile();
}

TBlockFileStream::~TBlockFileStream() { CloseHandle(); }

FsHandle TBlockFileStream::OpenFileOp(const TFileEntry& entry) {
  return devices_ == nullptr ? kNoHandle : devices_->OpenEntry(entry);
}

FsHandle TBlockFileStream::OpenStreamOp(const TFileEntry& entry, const TStreamId& stream) {
  return devices_ == nullptr ? kNoHandle : devices_->OpenEntryStream(entry, stream);
}

std::int32_t TBlockFileStream::ReadFileAtOp(FsHandle handle, std::int64_t offset, void* buffer, std::int32_t count) {
  return devices_ == nullptr ? 0 : devices_->ReadEntryAt(handle, offset, buffer, count);
}

bool TBlockFileStream::CloseFileOp(FsHandle handle) { return devices_ == nullptr ? true : devices_->CloseEntry(handle); }

std::int64_t TBlockFileStream::FileSizeOp(FsHandle handle) {
  return devices_ == nullptr ? 0 : devices_->EntrySize(handle);
}

}  // namespace vandrel
