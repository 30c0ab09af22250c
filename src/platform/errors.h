// The thread's last OS error, carried the same way on every platform so
// that a failed read can be reported with the reason it failed.
#pragma once

#include <string>

namespace vandrel::platform {

// Codes of this program's own that have no errno twin.
inline constexpr int kErrorSectorNotFound = 0x10000 + 27;  // a read outside the storage
inline constexpr int kErrorNotSupported = 0x10000 + 50;
// Files that are neither disks nor images: opening them for reading could
// block (a FIFO) or stream without end (a character device).
inline constexpr int kErrorIsFifo = 0x20000 + 1;
inline constexpr int kErrorIsSocket = 0x20000 + 2;
inline constexpr int kErrorIsCharDevice = 0x20000 + 3;
inline constexpr int kErrorIsOtherKind = 0x20000 + 4;

void SetLastOsError(int code);
int LastOsError();
// The system's message for the code ("" for 0).
std::string OsErrorText(int code);
// errno as this thread's last error; answers it.
int CaptureErrno();
// Whether the code means "no such file" (its open failure is not reported).
bool IsFileNotFound(int code);

}  // namespace vandrel::platform
