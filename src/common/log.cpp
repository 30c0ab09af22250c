#include "common/log.h"

#include <atomic>
#include <cstdio>
#include <mutex>

#include "common/func.h"
#include "common/error_codes.h"

namespace vandrel {
namespace {

struct LogState {
  std::mutex mutex;
  LogSink sink;
  bool enabled = true;
  bool senderNames = false;
};

LogState& State() {
  static LogState state;
  return state;
}

std::atomic<OsErrorTextSource> gOsErrorText{nullptr};

std::string OsErrorText(int code) {
  if (code == 0) return {};
  const OsErrorTextSource source = gOsErrorText.load();
  return source != nullptr ? source(code) : Sprintf("OS error %d", code);
}

}  // namespace

std::string SenderName(int sender) {
  switch (sender) {
    case kSenderIo: return "IO:";
    case kSenderNtfs: return "NTFS";
    case kSenderUnpack: return "UNPACK";
    case kSenderFat: return "FAT";
    case kSenderPTable: return "PTable";
    case kSenderIdeScsi: return "IDE/SCSI";
    case kSenderGeneral: return "";
    case kSenderCdfs: return "CDFS";
    case kSenderSectorScanner: return "Sector scanner";
    default: return Sprintf("Sender: %d", sender);
  }
}

std::string FormatLogLine(int sender, int code, int osError, std::string_view text) {
  bool names = false;
  {
    std::lock_guard lock(State().mutex);
    names = State().senderNames;
  }
  const std::string senderText = names ? SenderName(sender) : std::string();
  const std::string codeText = code != 0 ? ErrorText(code) : std::string();
  const std::string osText = OsErrorText(osError);
  return Trim(Sprintf("%s %s %s %.*s", senderText.c_str(), codeText.c_str(), osText.c_str(),
                      static_cast<int>(text.size()), text.data()));
}

void LogEvent(int sender, int code, int osError, std::string_view text, int level) {
  LogSink sink;
  {
    std::lock_guard lock(State().mutex);
    if (!State().enabled) return;
    sink = State().sink;
  }
  const std::string line = FormatLogLine(sender, code, osError, text);
  if (sink) {
    sink(line, level);
  } else {
    std::fprintf(stderr, "Message: %s\n", line.c_str());
  }
}

void LogText(std::string_view text) { LogEvent(kSenderGeneral, 0, 0, text, 0); }

void SetLogSink(LogSink sink) {
  std::lock_guard lock(State().mutex);
  State().sink = std::move(sink);
}

void SetOsErrorTextSource(OsErrorTextSource source) { gOsErrorText = source; }

void SetLogEnabled(bool enabled) {
  std::lock_guard lock(State().mutex);
  State().enabled = enabled;
}

void SetLogSenderNames(bool shown) {
  std::lock_guard lock(State().mutex);
  State().senderNames = shown;
}

ScopedLogSink::ScopedLogSink(LogSink sink) {
  std::lock_guard lock(State().mutex);
  previous_ = std::move(State().sink);
  State().sink = std::move(sink);
}

ScopedLogSink::~ScopedLogSink() {
  std::lock_guard lock(State().mutex);
  State().sink = std::move(previous_);
}

}  // namespace vandrel
