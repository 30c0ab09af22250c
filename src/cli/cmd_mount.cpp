// `mount ADDR TARGET`: shows a storage read-only at a folder (a drive letter
// "E:" is the folder E under the mount root) and serves it until SIGINT or
// SIGTERM, or returns once it is live with --background.
// `umount TARGET`: takes such a volume away again.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <iostream>

#include "cli/cli.h"
#include "mount/mount2_system.h"
#include "platform/mount_points.h"
#include "platform/settings.h"

namespace vandrel::cli {
namespace {

struct MountOptions {
  std::string address;
  std::string target;
  bool background = false;
};

void WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

std::string ReadAll(int fd) {
  std::string text;
  char buffer[512];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

// Serves the volume; `readyFd` (or -1) learns "OK folder" or "ERR text"
// once the volume is live or failed.
int Serve(Session& session, const MountOptions& options, int readyFd) {
  const auto report = [readyFd](const std::string& line) {
    if (readyFd < 0) return;
    WriteAll(readyFd, line);
    ::close(readyFd);
  };
  // Only this thread takes the stop signals; the component's threads,
  // started later, inherit the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  std::unique_ptr<TMountStorage2System> service;
  try {
    const Address address = ParseAddress(options.address);
    TStorage* storage = ResolveFileSystemVolume(session, address);
    MountUnitStartup(platform::SettingsFilePath());
    TDeviceManager& devices = session.Devices();
    if (!devices.CreateReader(storage, true, TReaderChoice::kByKind) && !session.Options().json)
      std::cerr << "vandrel-cli: no file system recognised on " << address.text << "; showing Storage alone\n";
    service = std::make_unique<TMountStorage2System>(storage, &devices);
    std::string error;
    if (!service->Init(options.target, error)) throw CliError(kExitFailure, "cannot mount " + options.target + ": " + error);
  } catch (const CliError& e) {
    report(std::string("ERR ") + e.what());
    throw;
  } catch (const std::exception& e) {
    report(std::string("ERR ") + e.what());
    throw;
  }

  const std::string folder = service->MountFolder();
  if (readyFd >= 0) {
    report("OK " + folder);
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
      if (null > 2) ::close(null);
    }
  } else {
    std::printf("Mounted %s at %s; Ctrl+C unmounts.\n", options.address.c_str(), folder.c_str());
    std::fflush(stdout);
  }
  // Until a stop signal, or until the volume is unmounted from outside.
  const timespec tick{0, 250 * 1000 * 1000};
  while (service->Mounted()) {
    const int signal = ::sigtimedwait(&stopSignals, nullptr, &tick);
    if (signal > 0) break;
  }
  const bool finished = service->Finish();
  service.reset();
  MountUnitShutdown();
  return finished ? kExitOk : kExitFailure;
}

int RunMount(Session& session, const MountOptions& options) {
  ParseAddress(options.address);  // a usage error is reported before anything starts
  if (!options.background) return Serve(session, options, -1);
  int fds[2];
  if (::pipe(fds) != 0) throw CliError(kExitFailure, "cannot create a pipe");
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child < 0) throw CliError(kExitFailure, "cannot start the serving process");
  if (child == 0) {
    ::close(fds[0]);
    ::setsid();
    int code = kExitFailure;
    try {
      code = Serve(session, options, fds[1]);
    } catch (...) {
    }
    std::fflush(nullptr);
    ::_exit(code);
  }
  ::close(fds[1]);
  const std::string answer = ReadAll(fds[0]);
  ::close(fds[0]);
  if (answer.rfind("OK ", 0) == 0) {
    std::printf("Mounted %s at %s (process %d; `vandrel-cli umount %s` unmounts).\n", options.address.c_str(),
                answer.substr(3).c_str(), static_cast<int>(child), options.target.c_str());
    return kExitOk;
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  throw CliError(kExitFailure, answer.rfind("ERR ", 0) == 0 ? answer.substr(4) : "the serving process ended early");
}

int RunUmount(const std::string& target) {
  const std::string folder = platform::MountFolderFor(target, platform::MountRoot(platform::SettingsFilePath()));
  std::string error;
  switch (platform::InspectMountFolder(folder)) {
    case platform::MountFolderState::kLiveMount:
      if (!platform::DetachMount(folder, false, error)) {
        // Busy: detach now; the volume ends when its last file closes.
        if (!platform::DetachMount(folder, true, error)) throw CliError(kExitFailure, error);
        std::printf("Detached %s (still in use; it goes away when the last file closes).\n", folder.c_str());
        return kExitOk;
      }
      break;
    case platform::MountFolderState::kDeadMount:
      if (!platform::CleanDeadMount(folder, error)) throw CliError(kExitFailure, error);
      break;
    default: throw CliError(kExitFailure, target + " is not mounted (" + folder + ")");
  }
  std::printf("Unmounted %s.\n", folder.c_str());
  return kExitOk;
}

const CommandRegistrar kMountRegistrar{
    {"mount", "Mount a storage read-only at a drive letter (E:) or an empty folder", [](CLI::App& command) {
       auto options = std::make_shared<MountOptions>();
       command.add_option("ADDR", options->address, "Storage address (D or D:P, see `list`)")->required();
       command.add_option("TARGET", options->target, "Drive letter such as E: (a folder under the mount root) or a folder")
           ->required();
       command.add_flag("--background", options->background, "Return once the volume is live and serve in the background");
       return std::function<int(Session&)>([options](Session& session) { return RunMount(session, *options); });
     }}};

const CommandRegistrar kUmountRegistrar{
    {"umount", "Unmount a volume mounted with `mount`", [](CLI::App& command) {
       auto target = std::make_shared<std::string>();
       command.add_option("TARGET", *target, "Drive letter (E:) or folder")->required();
       return std::function<int(Session&)>([target](Session&) { return RunUmount(*target); });
     }}};

}  // namespace
}  // namespace vandrel::cli
