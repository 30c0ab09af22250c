// The volume list of a disk: which tables it has, what they list, what
// the lost-volume search adds and the free space left between.
#pragma once

namespace vandrel {

class TStorageWithPartitions;
class TVolumeServices;

// Fills the disk's partition list; `services` recognise the file systems
// (a whole-disk volume, GPT entries) and search for lost volumes.
void EnumerateVolumes(TStorageWithPartitions& disk, TVolumeServices& services);

}  // namespace vandrel
