#include "mount/system_view.h"

#include "filesystems/reader_walk.h"
#include "mount/callback_file_system.h"
#include "mount/mount2_system.h"
#include "support/fixtures.h"

namespace vandrel::test {

std::string MissingForMountTest(const std::string& kind) {
  bool installed = false;
  std::uint32_t high = 0, low = 0;
  TCallbackFileSystem::QueryDriverState(kProductId, installed, high, low);
  if (!IsRoot() || !installed) return "needs root and a usable /dev/fuse";
  if (kind == "fat" && !HaveTool("mcopy")) return "mtools missing";
  if (kind == "ntfs" && !HaveTool("ntfs-3g")) return "ntfs-3g missing";
  return {};
}

bool MakeSystemView(const std::string& kind, const std::string& image, const std::string& folder, std::string& error) {
  if (kind == "ext") return RunCommand("mount -o ro,loop " + ShellQuote(image) + " " + ShellQuote(folder) + " 2>&1", error);
  if (kind == "ntfs") return RunCommand("ntfs-3g -o ro " + ShellQuote(image) + " " + ShellQuote(folder) + " 2>&1", error);
  return RunCommand("MTOOLS_SKIP_CHECK=1 mcopy -s -n -i " + ShellQuote(image) + " ::/ " + ShellQuote(folder) + "/ 2>&1",
                    error);
}

void ReleaseSystemView(const std::string& kind, const std::string& folder) {
  std::string out;
  if (kind != "fat") RunCommand("umount " + ShellQuote(folder), out);
}

bool MountWithCli(const std::string& image, const std::string& folder, std::string& error) {
  return RunCommand(std::string(VANDREL_CLI_PATH) + " --images-only --image " + ShellQuote(image) + " mount 0:0 " +
                        ShellQuote(folder) + " --background 2>&1",
                    error);
}

bool UnmountWithCli(const std::string& folder, std::string& error) {
  return RunCommand(std::string(VANDREL_CLI_PATH) + " umount " + ShellQuote(folder) + " 2>&1", error);
}

}  // namespace vandrel::test
