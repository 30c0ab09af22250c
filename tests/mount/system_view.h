// What the mount tests against real images share: their prerequisites, the
// system's own view of an image (the kernel for ext, ntfs-3g for NTFS, a
// copy made by mtools for FAT) and a vandrel-cli mount of it.
#pragma once

#include <string>

namespace vandrel::test {

// Why a mount test of this kind cannot run here ("" when it can): root,
// /dev/fuse and the kind's reference tool.
std::string MissingForMountTest(const std::string& kind);

// The system's view of `image` in the empty folder `folder`; false with the
// tool's output in `error`.
bool MakeSystemView(const std::string& kind, const std::string& image, const std::string& folder, std::string& error);
// Takes a mounted view away again (a copy stays).
void ReleaseSystemView(const std::string& kind, const std::string& folder);

// vandrel-cli mounts the image's first volume at `folder` and serves it in
// the background; false with the tool's output in `error`.
bool MountWithCli(const std::string& image, const std::string& folder, std::string& error);
bool UnmountWithCli(const std::string& folder, std::string& error);

}  // namespace vandrel::test
