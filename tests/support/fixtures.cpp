#include "support/fixtures.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace vandrel::test {

namespace fs = std::filesystem;

bool RunCommand(const std::string& command, std::string& output) {
  output.clear();
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return false;
  std::array<char, 4096> buffer{};
  std::size_t n = 0;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) output.append(buffer.data(), n);
  return ::pclose(pipe) == 0;
}

bool HaveTool(const std::string& tool) {
  std::string out;
  return RunCommand("command -v '" + tool + "' >/dev/null 2>&1", out);
}

namespace {

// ctest runs each test in its own process, several at once: a fixture is
// made under a lock file so that two processes never build the same image.
class CacheLock {
 public:
  explicit CacheLock(const fs::path& path) : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
    if (fd_ >= 0) ::flock(fd_, LOCK_EX);
  }
  ~CacheLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  CacheLock(const CacheLock&) = delete;
  CacheLock& operator=(const CacheLock&) = delete;

 private:
  int fd_;
};

}  // namespace

bool IsRoot() { return ::geteuid() == 0; }

bool UnderCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

std::string FixtureImage(const std::string& name, std::string& why) {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  const fs::path script = fs::path(VANDREL_FIXTURE_SCRIPTS) / (name + ".sh");
  const fs::path cache = fs::path(VANDREL_FIXTURE_CACHE);
  const fs::path image = cache / (name + ".img");
  const fs::path failed = cache / (name + ".failed");
  std::error_code ec;
  if (fs::exists(image, ec)) return image.string();
  if (!fs::exists(script, ec)) {
    why = "no fixture script " + script.string();
    return {};
  }
  fs::create_directories(cache, ec);
  const CacheLock processLock(cache / (name + ".lock"));
  if (fs::exists(image, ec)) return image.string();
  const fs::path partial = cache / (name + ".img.partial");
  std::string output;
  const std::string command = "bash '" + script.string() + "' '" + partial.string() + "' 2>&1";
  if (!RunCommand(command, output) || !fs::exists(partial, ec)) {
    fs::remove(partial, ec);
    why = "fixture " + name + " could not be made: " + output.substr(0, 400);
    std::ofstream(failed) << output;
    return {};
  }
  fs::rename(partial, image, ec);
  return image.string();
}

std::string SharedFixtureDir(const std::string& archiveRelative, std::string& why) {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  const fs::path archive = fs::path(VANDREL_SHARED_FIXTURES) / archiveRelative;
  std::error_code ec;
  if (!fs::exists(archive, ec)) {
    why = "no reference set " + archive.string();
    return {};
  }
  std::string stem = archive.filename().string();
  stem = stem.substr(0, stem.find(".tar"));
  const fs::path target = fs::path(VANDREL_FIXTURE_CACHE) / "shared" / stem;
  if (fs::exists(target / ".done", ec)) return target.string();
  fs::create_directories(target, ec);
  const CacheLock processLock(target.string() + ".lock");
  if (fs::exists(target / ".done", ec)) return target.string();
  const std::string flags = archiveRelative.ends_with(".zst") ? "-I zstd -xf" : "-xJf";
  std::string output;
  if (!RunCommand("tar " + flags + " '" + archive.string() + "' -C '" + target.string() + "' 2>&1", output)) {
    why = "cannot unpack " + archive.string() + ": " + output;
    return {};
  }
  std::ofstream(target / ".done") << "ok";
  return target.string();
}

std::vector<std::uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace vandrel::test
