// The settings file with the profile-string semantics, and the folders a
// mount point names.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "platform/mount_points.h"
#include "platform/settings.h"

namespace vandrel::platform {
namespace {

TEST(IniFile, ProfileStringSemantics) {
  const std::string path = ::testing::TempDir() + "/settings_test.ini";
  {
    std::ofstream out(path, std::ios::binary);
    out << "; comment\r\n[Main]\r\n  Mount_Root = /srv/v  \r\nquoted=\"a b\"\r\nnum=0x1F\r\nbad=12x\r\n"
        << "long=" << std::string(2000, 'x') << "\r\n\r\n[KnowImages]\r\nimg1=/x.img\r\n";
  }
  TIniFile ini(path);
  EXPECT_EQ(ini.ReadString("main", "mount_root", "d"), "/srv/v");
  EXPECT_EQ(ini.ReadString("MAIN", "QUOTED", "d"), "a b");
  EXPECT_EQ(ini.ReadString("main", "missing", "d"), "d");
  EXPECT_EQ(ini.ReadString("nosection", "mount_root", "d"), "d");
  EXPECT_EQ(ini.ReadString("main", "long", "").size(), kIniValueLimit);
  EXPECT_EQ(ini.ReadInteger("main", "num", 0), 31);
  EXPECT_EQ(ini.ReadInteger("main", "missing", 7), 7);
  EXPECT_EQ(ini.ReadSection("knowimages"), std::vector<std::string>{"img1"});
  // Absent and empty differ, whatever the value's bytes.
  EXPECT_EQ(ini.Find("main", "missing"), std::nullopt);
  EXPECT_EQ(ini.Find("nosection", "num"), std::nullopt);
  EXPECT_EQ(ini.Find("main", "quoted"), std::optional<std::string>("a b"));
  EXPECT_EQ(ini.Find("main", "long").value_or("").size(), kIniValueLimit);
  EXPECT_TRUE(ini.WriteString("main", "empty", ""));
  EXPECT_TRUE(ini.WriteString("main", "odd", "\x01"));
  EXPECT_EQ(ini.Find("main", "empty"), std::optional<std::string>(""));
  EXPECT_EQ(ini.Find("main", "odd"), std::optional<std::string>("\x01"));

  EXPECT_TRUE(ini.WriteString("MAIN", "mount_root", "/other"));     // replaced in place
  EXPECT_TRUE(ini.WriteString("main", "windows_type", "x64"));      // appended to its section
  EXPECT_TRUE(ini.WriteString("Fresh", "k", "v"));                  // a new section at the end
  EXPECT_EQ(ini.ReadString("main", "mount_root", ""), "/other");
  EXPECT_EQ(ini.ReadString("main", "windows_type", ""), "x64");
  EXPECT_EQ(ini.ReadString("knowimages", "img1", ""), "/x.img");
  EXPECT_EQ(ini.ReadString("fresh", "K", ""), "v");
  EXPECT_TRUE(ini.DeleteKey("main", "quoted"));
  EXPECT_EQ(ini.ReadString("main", "quoted", "gone"), "gone");
  EXPECT_TRUE(ini.EraseSection("KnowImages"));
  EXPECT_FALSE(ini.SectionExists("knowimages"));
  EXPECT_EQ(ini.ReadString("fresh", "k", ""), "v");

  // Created on the first write.
  const std::string fresh = ::testing::TempDir() + "/settings_fresh.ini";
  std::remove(fresh.c_str());
  EXPECT_EQ(TIniFile(fresh).ReadString("main", "x", "none"), "none");
  EXPECT_TRUE(TIniFile(fresh).WriteString("main", "x", "1"));
  EXPECT_EQ(TIniFile(fresh).ReadString("main", "x", "none"), "1");
}

TEST(MountPoints, LettersAndFolders) {
  const std::string path = ::testing::TempDir() + "/settings_root.ini";
  std::remove(path.c_str());
  EXPECT_EQ(MountRoot(path), HomeFolder() + "/Vandrel");
  TIniFile(path).WriteString("main", "mount_root", "/srv/vandrel");
  EXPECT_EQ(MountRoot(path), "/srv/vandrel");
  EXPECT_TRUE(IsDriveLetterPoint("E:"));
  EXPECT_TRUE(IsDriveLetterPoint("e:"));
  EXPECT_FALSE(IsDriveLetterPoint("E"));
  EXPECT_FALSE(IsDriveLetterPoint("1:"));
  EXPECT_FALSE(IsDriveLetterPoint("/E:"));
  EXPECT_EQ(MountFolderFor("e:", "/"), "/E");
  EXPECT_EQ(MountFolderFor("/", "/root"), "/");
  EXPECT_EQ(InspectMountFolder("/proc"), MountFolderState::kLiveMount);
  EXPECT_EQ(InspectMountFolder(::testing::TempDir() + "/no_such_folder_here"), MountFolderState::kMissing);
  EXPECT_EQ(InspectMountFolder(path), MountFolderState::kNotFolder);
}

}  // namespace
}  // namespace vandrel::platform
