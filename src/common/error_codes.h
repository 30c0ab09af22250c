// Numbered error texts shared by the readers' reports.
#pragma once

#include <string>

namespace vandrel {

enum ReaderErrorCode : int {
  kErrNone = 0, kErrNotNtfs = 1, kErrRead = 2, kErrBootRecord = 5, kErrNotFileRecord = 6,
  kErrClusterList = 9, kErrMftDamaged = 11, kErrNoRecord = 13, kErrWrongSignature = 14, kErrFixup = 15,
  kErrUnpack = 17, kErrUnpackBuffer = 18, kErrBitmap = 21, kErrNoData = 24, kErrNotNameIndex = 27,
  kErrNtfsNotFound = 28, kErrException = 29, kErrWrongPartition = 31, kErrFatNotFound = 33,
  kErrBlockSignature = 34, kErrImageCorrupted = 35, kErrNoPartition = 36, kErrNotSupported = 37,
  kErrTooManyPartitions = 38,
};

// Text of codes 0..44 ("" where the table has none); larger codes in decimal.
std::string ErrorText(int code);

}  // namespace vandrel
