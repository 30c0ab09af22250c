// The folders that mounted volumes appear in. A drive letter "E:" stands
// for the folder <mount root>/E; any other mounting point is a folder path.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vandrel::platform {

// Settings "main"/"mount_root" of `settingsFile`, else ~/Vandrel.
std::string MountRoot(const std::string& settingsFile);
// Whether the text is a drive letter with its colon ("E:").
bool IsDriveLetterPoint(std::string_view point);
// The folder of a mounting point: a letter's folder under `mountRoot`, or
// the given path made absolute.
std::string MountFolderFor(std::string_view point, const std::string& mountRoot);

enum class MountFolderState {
  kMissing,     // nothing there yet
  kEmpty,       // an empty folder: ready for a mount
  kNotEmpty,    // a folder with content
  kNotFolder,   // a file or something else
  kLiveMount,   // a mount point that answers
  kDeadMount,   // a mount point whose server is gone (ENOTCONN)
};
MountFolderState InspectMountFolder(const std::string& folder);
// Whether the folder is listed as a mount point by the kernel.
bool IsMountPoint(const std::string& folder);
// Creates the folder and its parents.
bool EnsureFolder(const std::string& folder, std::string& error);
// Takes a mount off its folder; `lazy` detaches it even while busy.
// Root unmounts directly, others through fusermount3.
bool DetachMount(const std::string& folder, bool lazy, std::string& error);
// Removes a dead mount left by a crashed server; true when the folder is
// free of it afterwards (or never had one).
bool CleanDeadMount(const std::string& folder, std::string& error);

// Runs a program with arguments (searched on PATH), waits for it; its exit
// status, or -1 when it could not be started. Output goes to /dev/null.
int RunProgram(const std::vector<std::string>& arguments);
bool ProgramOnPath(const std::string& name);
bool RunningAsRoot();
// Processors available to this process.
unsigned ProcessorCount();

}  // namespace vandrel::platform
