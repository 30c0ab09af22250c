#include "support/fixtures.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <vector>

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

// Changes with the script and the pieces the scripts share: an image
// cached from an older script is made anew instead of being reused.
std::string ScriptKey(const fs::path& script) {
  std::vector<fs::path> inputs{script};
  std::error_code ec;
  for (const auto& item : fs::directory_iterator(script.parent_path(), ec)) {
    const std::string extension = item.path().extension().string();
    if (extension == ".inc" || extension == ".bash") inputs.push_back(item.path());
  }
  std::sort(inputs.begin() + 1, inputs.end());
  std::uint64_t hash = 14695981039346656037ULL;  // FNV-1a
  for (const fs::path& input : inputs) {
    std::ifstream in(input, std::ios::binary);
    for (char c; in.get(c);) hash = (hash ^ static_cast<std::uint8_t>(c)) * 1099511628211ULL;
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

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
  std::error_code ec;
  if (!fs::exists(script, ec)) {
    why = "no fixture script " + script.string();
    return {};
  }
  const std::string stem = name + "-" + ScriptKey(script);
  const fs::path image = cache / (stem + ".img");
  const fs::path failed = cache / (stem + ".failed");
  if (fs::exists(image, ec)) return image.string();
  fs::create_directories(cache, ec);
  const CacheLock processLock(cache / (stem + ".lock"));
  if (fs::exists(image, ec)) return image.string();
  const fs::path partial = cache / (stem + ".img.partial");
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
