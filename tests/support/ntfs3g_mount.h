// An image mounted read-only through ntfs-3g, unmounted on destruction:
// the reference view the NTFS tests compare the reader with.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/fixtures.h"

namespace vandrel::test {

class Ntfs3gMount {
 public:
  // `options` are added to ro,streams_interface=windows (e.g. "efs_raw").
  explicit Ntfs3gMount(const std::string& image, const std::string& options = "") {
    char pattern[] = "/tmp/vandrel-ntfs3g-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return;
    dir_ = pattern;
    std::string out;
    const std::string all = "ro,streams_interface=windows" + (options.empty() ? "" : "," + options);
    mounted_ = RunCommand("ntfs-3g -o " + all + " '" + image + "' '" + dir_ + "' 2>&1", out);
  }
  ~Ntfs3gMount() {
    std::string out;
    if (mounted_) RunCommand("fusermount3 -u '" + dir_ + "' 2>&1 || umount '" + dir_ + "' 2>&1", out);
    if (!dir_.empty()) ::rmdir(dir_.c_str());
  }
  Ntfs3gMount(const Ntfs3gMount&) = delete;
  Ntfs3gMount& operator=(const Ntfs3gMount&) = delete;
  bool Mounted() const { return mounted_; }
  const std::string& Dir() const { return dir_; }

 private:
  std::string dir_;
  bool mounted_ = false;
};

// A test over a fixture image that ntfs-3g fills and shows: call Load from
// SetUp; it skips (or fails under CI) without root, ntfs-3g or mkntfs.
class Ntfs3gImageTest : public ::testing::Test {
 protected:
  void Load(const std::string& fixture) {
    VANDREL_REQUIRE(IsRoot(), "ntfs-3g mounts need root");
    VANDREL_REQUIRE(HaveTool("ntfs-3g") && HaveTool("mkntfs"), "ntfs-3g and mkntfs are needed");
    std::string why;
    image_ = FixtureImage(fixture, why);
    VANDREL_REQUIRE(!image_.empty(), why);
    bytes_ = ReadFileBytes(image_);
  }
  std::string image_;
  std::vector<std::uint8_t> bytes_;
};

}  // namespace vandrel::test
