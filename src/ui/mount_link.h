// The main window's view of the mount service: one object per mounted
// storage, and the drive letters (folders under the mount root) in use.
#pragma once

#include <memory>
#include <string>

namespace vandrel {

class TDeviceManager;
class TStorage;

class TMountLink {
 public:
  virtual ~TMountLink() = default;
  virtual TStorage* Storage() const = 0;
  // The letter and a colon, as the list shows it.
  virtual std::string MountPoint() const = 0;
  // The folder the volume is mounted on.
  virtual std::string Folder() const = 0;
  // Dismounts; the object is destroyed right after.
  virtual void Finish() = 0;
};

class TMountProvider {
 public:
  virtual ~TMountProvider() = default;
  // Mounts `storage` (its reader attached) under `letter` ("X:"); nothing
  // with `error` set on failure.
  virtual std::unique_ptr<TMountLink> Mount(TStorage* storage, TDeviceManager& manager, const std::string& letter,
                                            std::string& error) = 0;
  // Upper-case letters whose folders are mount points now.
  virtual std::string UsedLetters() = 0;
};

// The mount service of this build.
std::unique_ptr<TMountProvider> CreateMountProvider();

// Every letter from A to Z not in `used`, in order.
std::string FreeDriveLetters(const std::string& used);

}  // namespace vandrel
