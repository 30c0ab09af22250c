// Runs vandrel-cli as a user would, under a hang guard, with its stdout
// and stderr kept for the test.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "filesystems/reader_walk.h"
#include "support/fixtures.h"

namespace vandrel::test {

struct CliRun {
  bool ok = false;  // exit code 0
  std::string out;
  std::string err;
};

// `errors` is a scratch file for stderr.
inline CliRun RunCli(const std::string& arguments, const std::filesystem::path& errors, int timeoutSeconds = 120) {
  CliRun r;
  r.ok = RunCommand("timeout " + std::to_string(timeoutSeconds) + " " + std::string(VANDREL_CLI_PATH) + " " + arguments +
                        " 2>" + ShellQuote(errors.string()),
                    r.out);
  std::ifstream in(errors);
  r.err.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return r;
}

}  // namespace vandrel::test
