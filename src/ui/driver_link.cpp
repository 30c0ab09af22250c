#include "ui/driver_link.h"

#include "mount/mount2_system.h"

namespace vandrel {

bool DriverStatusTextLink(std::string& text) { return DriverStatusText(text); }
bool InstallDriverLink(bool& restart, std::string& error) { return InstallDriverFile(restart, error); }
bool UninstallDriverLink(bool& restart, std::string& error) { return UninstallDriverFile(restart, error); }

}  // namespace vandrel
