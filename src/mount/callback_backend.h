// What the component needs from its operating-system backend (the FUSE
// session on Linux). Only the component uses it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace vandrel {

class TCallbackFileSystem;

// One live volume at one folder.
class CbFsMount {
 public:
  virtual ~CbFsMount() = default;
  virtual const std::string& Folder() const = 0;
  // The session still serves (false once unmounted from outside).
  virtual bool Serving() const = 0;
  // Takes the volume off its folder and ends the session. Without `force`
  // a busy volume is only detached from the folder; with it, requests still
  // in flight fail and the session ends now. Raises ECbFsError.
  virtual void Stop(bool force) = 0;
};

struct CbFsMountOptions {
  std::string label;
  unsigned threads = 1;
  bool serialize = false;
  int timeoutMs = 5000;
};

// Mounts the component's volume at an empty folder; returns once the
// volume answers. Raises ECbFsError.
std::unique_ptr<CbFsMount> StartCbFsMount(TCallbackFileSystem& owner, const std::string& folder,
                                          const CbFsMountOptions& options);

void QueryBackendState(bool& installed, std::uint32_t& versionHigh, std::uint32_t& versionLow);
// Why the backend is not usable and what to do, in plain words ("" when
// it is usable).
std::string BackendProblem();
// Makes the backend usable (loads the kernel module); raises ECbFsError.
void InstallBackend(const std::string& driverFile);
std::string BackendDriverName();
bool BackendDriverPresent(const std::string& driverFile);

}  // namespace vandrel
