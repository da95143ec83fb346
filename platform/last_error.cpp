#include "platform/last_error.h"

#include <cerrno>
#include <cstring>

namespace platform {

namespace {
thread_local int t_lastError = 0;
// errno behind the last mapped error, so that a message can name the real cause.
thread_local int t_lastErrno = 0;
}  // namespace

int GetLastOsError() { return t_lastError; }

void SetLastOsError(int code) {
  t_lastError = code;
  t_lastErrno = 0;
}

int OsErrorFromErrno(int err) {
  switch (err) {
    case 0:
      return kOsOk;
    case EBADF:
    case ENODEV:
    case ENXIO:
    case ENOENT:
      return kOsInvalidHandle;
    case EOVERFLOW:
      return kOsArithmeticOverflow;
    default:
      return kOsGeneralFailure;
  }
}

void SetLastOsErrorFromErrno(int err) {
  t_lastError = OsErrorFromErrno(err);
  t_lastErrno = err;
}

std::string OsErrorText(int code) {
  if (t_lastErrno != 0 && code == t_lastError) return std::strerror(t_lastErrno);
  switch (code) {
    case kOsOk:
      return "The operation completed successfully.";
    case kOsInvalidHandle:
      return "The handle is invalid.";
    case kOsGeneralFailure:
      return "A device attached to the system is not functioning.";
    case kOsArithmeticOverflow:
      return "Arithmetic result exceeded 32 bits.";
    case kOsMediumOffline:
      return "The media is offline.";
    case kOsMediumIncompatible:
      return "The media type is incompatible.";
    default:
      return std::strerror(code);
  }
}

}  // namespace platform
