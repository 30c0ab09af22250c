// Which reader class serves a volume: one place for the choice.
#include "common/log.h"
#include "filesystems/ext/ext2.h"
#include "filesystems/fat/fat.h"
#include "filesystems/ntfs/salvage.h"
#include "common/error_codes.h"
#include "filesystems/file_system.h"

namespace vandrel {
namespace {

enum class ReaderClass { kNone, kFat, kNtfsReader, kNtfsSalvager, kExt2Reader, kExt2Salvage };

ReaderClass ClassFor(TReaderChoice choice, TFileSystemKind kind) {
  const bool fat = IsFat(kind);
  const bool ext = kind == TFileSystemKind::kExt;
  switch (choice) {
    case TReaderChoice::kFat: return ReaderClass::kFat;
    case TReaderChoice::kNtfsReader: return ReaderClass::kNtfsReader;
    case TReaderChoice::kNtfsSalvager: return ReaderClass::kNtfsSalvager;
    case TReaderChoice::kExt2Reader: return ReaderClass::kExt2Reader;
    case TReaderChoice::kExt2Salvage: return ReaderClass::kExt2Salvage;
    // Volumes of other kinds are tried as NTFS.
    case TReaderChoice::kByKind: return fat ? ReaderClass::kFat : ext ? ReaderClass::kExt2Reader : ReaderClass::kNtfsReader;
    case TReaderChoice::kSalvageByKind:
      return fat ? ReaderClass::kFat : ext ? ReaderClass::kExt2Salvage : ReaderClass::kNtfsSalvager;
  }
  return fat ? ReaderClass::kFat
             : kind == TFileSystemKind::kNtfs ? ReaderClass::kNtfsSalvager
             : ext ? ReaderClass::kExt2Salvage : ReaderClass::kNone;
}

std::unique_ptr<FileSystem> Construct(ReaderClass readerClass, TStorage& volume) {
  // Each reader joins here as it is built.
  switch (readerClass) {
    case ReaderClass::kFat: return std::make_unique<TFAT>(&volume);
    case ReaderClass::kNtfsReader: return std::make_unique<TNTFS_Reader>(&volume);
    case ReaderClass::kNtfsSalvager: return std::make_unique<TNTFS_Salvager>(&volume);
    case ReaderClass::kExt2Reader: return std::make_unique<TExt2_Reader>(&volume);
    case ReaderClass::kExt2Salvage: return std::make_unique<TExt2_Salvage>(&volume);
    case ReaderClass::kNone: break;
  }
  return nullptr;
}

}  // namespace

std::unique_ptr<FileSystem> MakeReader(TStorage& volume, TReaderChoice choice) {
  auto reader = Construct(ClassFor(choice, PartitionTypeKind(volume.FsType)), volume);
  if (!reader) LogEvent(kSenderIo, kErrNotSupported, 0, "", 1);
  return reader;
}

}  // namespace vandrel
