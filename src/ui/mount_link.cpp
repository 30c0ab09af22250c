#include "ui/mount_link.h"

#include <cctype>

#include "mount/mount2_system.h"
#include "platform/mount_points.h"

namespace vandrel {
namespace {

class TServiceLink : public TMountLink {
 public:
  explicit TServiceLink(std::unique_ptr<TMountStorage2System> service) : service_(std::move(service)) {}
  ~TServiceLink() override {
    if (service_) service_->Finish();
  }
  TStorage* Storage() const override { return service_->Storage(); }
  std::string MountPoint() const override { return service_->MountPoint(); }
  std::string Folder() const override { return service_->MountFolder(); }
  void Finish() override {
    service_->Finish();
    service_.reset();
  }

 private:
  std::unique_ptr<TMountStorage2System> service_;
};

class TServiceProvider : public TMountProvider {
 public:
  std::unique_ptr<TMountLink> Mount(TStorage* storage, TDeviceManager& manager, const std::string& letter,
                                    std::string& error) override {
    auto service = std::make_unique<TMountStorage2System>(storage, &manager);
    if (!service->Init(letter, error)) {
      const std::string folder = platform::MountFolderFor(letter, platform::MountRoot(MountSettingsFile()));
      error = letter + " could not be mounted at " + folder + ".\n\n" + error;
      return nullptr;
    }
    return std::make_unique<TServiceLink>(std::move(service));
  }

  std::string UsedLetters() override {
    const std::string root = platform::MountRoot(MountSettingsFile());
    std::string used;
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
      const std::string point{letter, ':'};
      if (platform::IsMountPoint(platform::MountFolderFor(point, root))) used += letter;
    }
    return used;
  }
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

std::unique_ptr<TMountProvider> CreateMountProvider() { return std::make_unique<TServiceProvider>(); }

}  // namespace vandrel
