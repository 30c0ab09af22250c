#include "filesystems/fat/boot_sector.h"

namespace vandrel {

TFatBpb ParseFatBpb(ByteSpan s) {
  TFatBpb b;
  b.BytesPerSector = Le16(s, kFatBpbBytesPerSector);
  b.SectorsPerCluster = Le8(s, kFatBpbSectorsPerCluster);
  b.ReservedSectors = Le16(s, kFatBpbReservedSectors);
  b.FatCount = Le8(s, kFatBpbFatCount);
  b.RootEntries = Le16(s, kFatBpbRootEntries);
  b.Media = Le8(s, kFatBpbMedia);
  b.TotalSectors = Le16(s, kFatBpbTotalSectors16);
  if (b.TotalSectors == 0) b.TotalSectors = Le32(s, kFatBpbTotalSectors32);
  b.SectorsPerFat16 = Le16(s, kFatBpbSectorsPerFat16);
  b.SectorsPerFat = b.SectorsPerFat16 != 0 ? b.SectorsPerFat16 : Le32(s, kFatBpbSectorsPerFat32);
  b.RootCluster = Le32(s, kFatBpbRootCluster);
  return b;
}

}  // namespace vandrel
