#include "ui/mount_link.h"

#include <cctype>

namespace vandrel {
namespace {

// Until the mount service is part of the build, mounting answers an error.
class TNoMountProvider : public TMountProvider {
 public:
  std::unique_ptr<TMountLink> Mount(TStorage*, TDeviceManager&, const std::string&, std::string& error) override {
    error = "mounting is not available in this build";
    return nullptr;
  }
  std::string UsedLetters() override { return {}; }
};

}  // namespace

std::string FreeDriveLetters(const std::string& used) {
  std::string free;
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    bool taken = false;
    for (char c : used)
      if (std::toupper(static_cast<unsigned char>(c)) == letter) taken = true;
    if (!taken) free += letter;
  }
  return free;
}

std::unique_ptr<TMountProvider> CreateMountProvider() { return std::make_unique<TNoMountProvider>(); }

}  // namespace vandrel
