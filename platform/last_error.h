// The calling thread's last OS error, kept with the system's own numbers so that the codes the
// device layer reports stay those of the recorder's platform. errno values of failed Linux calls
// are mapped here, and only here.
#pragma once

#include <string>

namespace platform {

// OS error numbers the device layer produces or tests for.
enum OsError : int {
  kOsOk = 0,
  kOsInvalidHandle = 6,       // the device handle is gone (re-open it)
  kOsNotReady = 11,           // ASC 04h: not ready
  kOsNoDevice = 19,           // ASC 20h: invalid command operation code
  kOsInvalidArgument = 22,    // ASC 21h with ASCQ != 0
  kOsNoSpace = 28,            // ASC 21h/00h: LBA out of range
  kOsGeneralFailure = 31,     // a command ended with sense data
  kOsArithmeticOverflow = 534,  // the LBA does not fit the 10-byte command
  kOsMediumOffline = 4304,    // ASC 3Ah: medium not present
  kOsMediumIncompatible = 4315,  // ASC 30h: incompatible medium
};

int GetLastOsError();
void SetLastOsError(int code);

// Maps errno of a failed call on a device to the system's number: EBADF, ENODEV, ENXIO and
// ENOENT mean the device is gone (6); EOVERFLOW is 534; anything else is 31.
int OsErrorFromErrno(int err);

// Sets the last error from errno and keeps errno's own text for OsErrorText.
void SetLastOsErrorFromErrno(int err);

// The message text of an OS error number (for reports of failed commands).
std::string OsErrorText(int code);

}  // namespace platform
