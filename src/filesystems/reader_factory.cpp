// Which reader class serves a volume: one place for the selection codes.
#include "common/log.h"
#include "filesystems/ext/ext2.h"
#include "filesystems/fat/fat.h"
#include "filesystems/ntfs/ntfs.h"
#include "common/error_codes.h"
#include "filesystems/file_system.h"

namespace vandrel {
namespace {

enum class ReaderClass { kNone, kFat, kNtfsReader, kNtfsSalvager, kExt2Reader, kExt2Salvage };

ReaderClass ClassFor(int selection, int family) {
  switch (selection) {
    case kSelectFat:
    case kSelectFatToo: return ReaderClass::kFat;
    case kSelectNtfsReader: return ReaderClass::kNtfsReader;
    case kSelectNtfsSalvager: return ReaderClass::kNtfsSalvager;
    case kSelectExt2Reader: return ReaderClass::kExt2Reader;
    case kSelectExt2Salvage: return ReaderClass::kExt2Salvage;
    case kSelectByFamily:
      return family == 1 ? ReaderClass::kFat : family == 10 ? ReaderClass::kExt2Reader : ReaderClass::kNtfsReader;
    case kSelectSalvageByFamily:
      return family == 1 ? ReaderClass::kFat : family == 10 ? ReaderClass::kExt2Salvage : ReaderClass::kNtfsSalvager;
    default:
      return family == 1 ? ReaderClass::kFat : family == 5 ? ReaderClass::kNtfsSalvager
                                           : family == 10 ? ReaderClass::kExt2Salvage
                                                          : ReaderClass::kNone;
  }
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

std::unique_ptr<FileSystem> MakeReader(TStorage& volume, int selection) {
  auto reader = Construct(ClassFor(selection, PartitionTypeFamily(volume.FsType)), volume);
  if (!reader) LogEvent(kSenderIo, kErrNotSupported, 0, "", 1);
  return reader;
}

}  // namespace vandrel
