// The file-system probe as the partition list sees a volume.
#pragma once

#include "storage/file_system_kind.h"

namespace vandrel {

class TStorage;

// What the volume holds; an Ext signature on a Linux RAID member belongs to
// the array, not to it.
TFileSystemKind ProbeBootSector(TStorage& volume);

}  // namespace vandrel
