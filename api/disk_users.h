// What formatting needs from the layers that use a disk: stop the recording task and the replay
// sessions on a disk before it is formatted, and afterwards rescan the disks and restart the
// recording threads. The library context's default goes to the disk watch (forget the disk's
// index, rescan); the recording engine installs one that also stops and restarts recording.
#pragma once

#include <string>

class DiskUsers {
 public:
  virtual ~DiskUsers() = default;
  // Stops everything that reads or writes the disk with this device name.
  virtual void StopUsersOf(const std::string& deviceName) = 0;
  // Rescans the disks and restarts recording after a format.
  virtual void RescanAndRestart() = 0;
};
