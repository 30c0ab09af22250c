#include "cli/progress.h"

#include <unistd.h>

#include <cstdio>

#include "cli/cli.h"
#include "common/func.h"
#include "platform/clock.h"

namespace vandrel::cli {

ProgressBar::ProgressBar(std::string label, std::uint64_t total, bool enabled)
    : label_(std::move(label)), total_(total), enabled_(enabled), startMs_(platform::TickMs()) {}

ProgressBar::~ProgressBar() { Finish(); }

bool ProgressBar::Wanted(bool writesToStdout) {
  return IsTerminal(STDERR_FILENO) && !(writesToStdout && IsTerminal(STDOUT_FILENO));
}

void ProgressBar::SetLabel(std::string label) {
  label_ = std::move(label);
  Draw(false);
}

void ProgressBar::Add(std::uint64_t bytes) {
  done_ += bytes;
  Draw(false);
}

void ProgressBar::Draw(bool force) {
  if (!enabled_ || finished_) return;
  const std::uint64_t now = platform::TickMs();
  if (!force && now - lastDrawMs_ < 200) return;
  lastDrawMs_ = now;
  const double seconds = static_cast<double>(now - startMs_) / 1000.0;
  const double rate = seconds > 0 ? static_cast<double>(done_) / seconds : 0.0;
  std::string line;
  if (total_ > 0) {
    const int percent = static_cast<int>(done_ * 100 / total_);
    const int filled = percent * 30 / 100;
    line = Sprintf("\r%-24.24s [%s%s] %3d%% %s of %s, %s/s", label_.c_str(), std::string(static_cast<std::size_t>(filled), '#').c_str(),
                   std::string(static_cast<std::size_t>(30 - filled), '.').c_str(), percent, FormatSize(done_).c_str(),
                   FormatSize(total_).c_str(), FormatSize(static_cast<std::uint64_t>(rate)).c_str());
  } else {
    line = Sprintf("\r%-24.24s %s, %s/s", label_.c_str(), FormatSize(done_).c_str(),
                   FormatSize(static_cast<std::uint64_t>(rate)).c_str());
  }
  std::fputs(line.c_str(), stderr);
  std::fputs("\x1b[K", stderr);
  std::fflush(stderr);
}

void ProgressBar::Finish() {
  if (!enabled_ || finished_) return;
  Draw(true);
  std::fputs("\n", stderr);
  finished_ = true;
}

}  // namespace vandrel::cli
