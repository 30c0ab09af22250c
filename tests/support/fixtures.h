// Images made by the real tools (tests/fixtures/*.sh), cached in the
// build tree. A test whose tool or privilege is missing skips on a
// developer's machine and fails under CI=true.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vandrel::test {

// Path of the image that tests/fixtures/NAME.sh makes, creating it on first
// use; "" when it cannot be made (the reason is in `why`).
std::string FixtureImage(const std::string& name, std::string& why);

// Whether a program is on PATH.
bool HaveTool(const std::string& tool);
bool IsRoot();
bool UnderCi();

// Runs a shell command; its stdout, or nullopt-like empty + false on failure.
bool RunCommand(const std::string& command, std::string& output);

// Unpacks a shared reference set (RAID, LDM) into the build tree once;
// answers the folder, "" when unavailable.
std::string SharedFixtureDir(const std::string& archiveRelative, std::string& why);

// Bytes of a file.
std::vector<std::uint8_t> ReadFileBytes(const std::string& path);

}  // namespace vandrel::test

// Skips (or fails under CI) when the condition is false.
#define VANDREL_REQUIRE(condition, reason)                                    \
  do {                                                                        \
    if (!(condition)) {                                                       \
      if (::vandrel::test::UnderCi()) FAIL() << "missing prerequisite: " << (reason); \
      GTEST_SKIP() << (reason);                                               \
    }                                                                         \
  } while (0)

// Declares `var` as the path of fixture NAME, skipping when unavailable.
#define VANDREL_FIXTURE(var, name)                                            \
  std::string var##_why;                                                      \
  const std::string var = ::vandrel::test::FixtureImage(name, var##_why);     \
  VANDREL_REQUIRE(!var.empty(), var##_why)
