#include <cerrno>
#include <cstring>

#include "platform/errors.h"

#include "common/log.h"

namespace vandrel::platform {
namespace {
thread_local int tLastError = 0;
}  // namespace

void SetLastOsError(int code) { tLastError = code; }
int LastOsError() { return tLastError; }

int CaptureErrno() {
  tLastError = errno;
  return tLastError;
}

std::string OsErrorText(int code) {
  if (code == 0) return {};
  if (code == kErrorSectorNotFound) return "The drive cannot find the sector requested.";
  if (code == kErrorNotSupported) return "The request is not supported.";
  if (code == kErrorIsFifo) return "Is a FIFO (named pipe), not a disk or an image file";
  if (code == kErrorIsSocket) return "Is a socket, not a disk or an image file";
  if (code == kErrorIsCharDevice) return "Is a character device, not a disk or an image file";
  if (code == kErrorIsOtherKind) return "Is neither a disk nor an image file";
  char buffer[256] = {};
  // GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  return text != nullptr ? text : buffer;
}

bool IsFileNotFound(int code) { return code == ENOENT || code == ENOTDIR; }

namespace {
// Every OS error code comes from this unit, so wherever one can reach a log
// line this unit is linked and its text source installed.
struct InstallOsErrorText {
  InstallOsErrorText() { SetOsErrorTextSource(&OsErrorText); }
} gInstallOsErrorText;
}  // namespace

}  // namespace vandrel::platform
