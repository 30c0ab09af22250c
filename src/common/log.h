// The one report routine of the program. Every line goes through
// LogEvent/LogText to a sink that the running program installs (the
// desktop window discards lines, the command-line tool prints them with
// --verbose, tests capture them).
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace vandrel {

enum LogSenderCode : int {
  kSenderIo = 0,
  kSenderNtfs = 1,
  kSenderUnpack = 2,
  kSenderFat = 3,
  kSenderPTable = 4,
  kSenderIdeScsi = 5,
  kSenderGeneral = 6,
  kSenderCdfs = 7,
  kSenderSectorScanner = 8,
};

using LogSink = std::function<void(const std::string& line, int level)>;

// Builds "%s %s %s %s" over sender name, error text, OS error text and text,
// trimmed, and hands it to the sink.
void LogEvent(int sender, int code, int osError, std::string_view text, int level);
// LogEvent(6, 0, 0, text, 0).
void LogText(std::string_view text);

// The line LogEvent would emit; empty parts collapse into the trim.
std::string FormatLogLine(int sender, int code, int osError, std::string_view text);

// Installs the sink; an empty function restores the fallback, which shows
// the line the way the platform shows a "Message" box (stderr here).
void SetLogSink(LogSink sink);
// The system's text for an OS error code in a log line. The platform layer
// installs its own; until then the code stands alone.
using OsErrorTextSource = std::string (*)(int code);
void SetOsErrorTextSource(OsErrorTextSource source);
void SetLogEnabled(bool enabled);
void SetLogSenderNames(bool shown);
std::string SenderName(int sender);

// Installs a sink for the lifetime of the object and restores the previous
// one afterwards (tests, scoped captures).
class ScopedLogSink {
 public:
  explicit ScopedLogSink(LogSink sink);
  ~ScopedLogSink();
  ScopedLogSink(const ScopedLogSink&) = delete;
  ScopedLogSink& operator=(const ScopedLogSink&) = delete;

 private:
  LogSink previous_;
};

}  // namespace vandrel
