#include "ui/driver_link.h"

#include <filesystem>

namespace vandrel {

// Until the mount service provides its own: FUSE counts as installed when
// its device exists.
bool DriverStatusTextLink(std::string& text) {
  std::error_code error;
  if (!std::filesystem::exists("/dev/fuse", error)) {
    text = "Driver not installed";
    return false;
  }
  text = "FUSE installed (/dev/fuse)";
  return true;
}

bool InstallDriverLink(bool& restart, std::string& error) {
  restart = false;
  error = "Install the fuse3 package (sudo apt-get install fuse3) and load the fuse module (sudo modprobe fuse).";
  return false;
}

bool UninstallDriverLink(bool& restart, std::string& error) {
  restart = false;
  error = "FUSE belongs to the system; remove the fuse3 package to remove it.";
  return false;
}

}  // namespace vandrel
