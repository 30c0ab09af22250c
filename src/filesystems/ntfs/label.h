// The label of an NTFS volume, read without opening the volume as a reader
// does: the boot sector and the $Volume record only.
#pragma once

#include <string>

#include "storage/bus_manager.h"

namespace vandrel {

// The label of an NTFS volume from its $Volume record; "" when none.
std::string ReadVolumeLabel(TStorage& volume);

}  // namespace vandrel
