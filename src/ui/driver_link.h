// The driver functions of the mount service, as the driver dialog calls them.
#pragma once

#include <string>

namespace vandrel {

bool DriverStatusTextLink(std::string& text);
bool InstallDriverLink(bool& restart, std::string& error);
bool UninstallDriverLink(bool& restart, std::string& error);

}  // namespace vandrel
