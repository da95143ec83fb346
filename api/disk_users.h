// What formatting needs from the layers that use a disk: stop the recording task and the replay
// sessions on a disk before it is formatted, and afterwards rescan the disks and restart the
// recording threads. The disk watch and the recording engine install their implementation in the
// library context; until they do, no disk has users and there is nothing to rescan.
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

// The users of a library without disk watch or recording: none.
class NoDiskUsers : public DiskUsers {
 public:
  void StopUsersOf(const std::string&) override {}
  void RescanAndRestart() override {}
};
