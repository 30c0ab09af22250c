// Shared plumbing of vandrel-cli: the options every command sees, the
// command registry, storage addresses and error reporting.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "devices/device_manager.h"

namespace vandrel::cli {

// Exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // not found, unreadable
inline constexpr int kExitUsage = 2;

// A failure to report as one line on stderr.
class CliError : public std::runtime_error {
 public:
  CliError(int exitCode, const std::string& message) : std::runtime_error(message), exitCode_(exitCode) {}
  int ExitCode() const { return exitCode_; }

 private:
  int exitCode_;
};

struct GlobalOptions {
  std::vector<std::string> images;
  bool imagesOnly = false;
  bool json = false;
  bool verbose = false;
};

// What a command runs with: the options and the device manager, created
// and refreshed on first use.
class Session {
 public:
  explicit Session(const GlobalOptions& options) : options_(options) {}
  ~Session();
  const GlobalOptions& Options() const { return options_; }
  TDeviceManager& Devices();

 private:
  const GlobalOptions& options_;
  std::unique_ptr<TDeviceManager> devices_;
};

// One subcommand: `setup` declares its options on `command` and returns
// what runs once they are parsed.
struct CommandSpec {
  std::string name;
  std::string description;
  std::function<std::function<int(Session&)>(CLI::App& command)> setup;
};

// Commands register themselves from their own units.
std::vector<CommandSpec>& Commands();
struct CommandRegistrar {
  explicit CommandRegistrar(CommandSpec entry) { Commands().push_back(std::move(entry)); }
};

// A storage or partition by its address "D" or "D:P".
struct Address {
  std::int32_t device = -1;
  std::int32_t partition = -1;  // -1: the device itself
  std::string text;
};
Address ParseAddress(const std::string& text);  // throws CliError (usage)
// The storage at the address; throws CliError (not found).
TStorage* ResolveAddress(Session& session, const Address& address);
// The storage whose file system the address names: a disk whose only volume
// starts at its first sector and fills it (no partition table, a floppy)
// is read through that volume, since the disk itself carries no file-system
// type. Throws CliError (not found).
TStorage* ResolveFileSystemVolume(Session& session, const Address& address);

// Text of the list's address column.
std::string FormatAddress(std::int32_t device, std::int32_t partition);

// Whether stdout/stderr is a terminal (for progress bars).
bool IsTerminal(int fd);

}  // namespace vandrel::cli
