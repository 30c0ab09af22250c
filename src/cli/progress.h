// A one-line progress bar on stderr, shown only when stderr is a terminal
// and the data does not go to one.
#pragma once

#include <cstdint>
#include <string>

namespace vandrel::cli {

class ProgressBar {
 public:
  // `total` bytes expected (0: unknown); hidden unless `enabled`.
  ProgressBar(std::string label, std::uint64_t total, bool enabled);
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  void Add(std::uint64_t bytes);
  void SetLabel(std::string label);
  void Finish();

  // Enabled when stderr is a terminal and stdout is not (or `toFile`).
  static bool Wanted(bool writesToStdout);

 private:
  void Draw(bool force);

  std::string label_;
  std::uint64_t total_;
  std::uint64_t done_ = 0;
  bool enabled_;
  bool finished_ = false;
  std::uint64_t lastDrawMs_ = 0;
  std::uint64_t startMs_ = 0;
};

}  // namespace vandrel::cli
