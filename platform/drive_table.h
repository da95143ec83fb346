// The drive table: what backs each device name "\\.\PhysicalDriveN".
//
// Drive numbers go first to the disk images the application attached, in the order attached,
// from drive 0; then to the machine's whole disks found in /sys/block, in name order, added when
// the table is first used (unless the application turned that off). A drive keeps its number for
// the life of the process; there are at most 16. The disk holding "/" is the system drive.
// A drive that cannot be opened stays listed with the error, and is skipped by the disk scan.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/scsi.h"
#include "platform/thread_annotations.h"

namespace platform {

constexpr int kMaxDrives = 16;
constexpr const char kDriveNamePrefix[] = "\\\\.\\PhysicalDrive";  // "\\.\PhysicalDrive"
constexpr const char kDevicePathPrefix[] = "\\\\.\\";              // "\\.\"

struct DriveEntry {
  int number = -1;
  std::string name;          // "\\.\PhysicalDriveN"
  std::string path;          // image file or /dev node
  bool image = false;        // an image file (else a block device)
  bool attached = false;     // attached by the application (QVFS_AttachImage), not found by the scan
  bool readOnly = false;     // opened O_RDONLY, writes refused
  uint32_t sectorSize = 0;   // images: bytes per sector; devices: 0 (asked of the device)
  bool systemDrive = false;  // holds the root file system
  int openErrno = 0;         // errno of the last failed open (EACCES for a non-root user ...)
  std::string text;          // vendor and product
};

// Builds the drive name of a number ("\\.\PhysicalDrive3").
std::string DriveName(int number);
// Drive number of a name, accepting it with or without the "\\.\" prefix; -1 if none.
int DriveNumberOf(const std::string& name);

class DriveTable {
 public:
  using Decorator =
      std::function<std::unique_ptr<ScsiTransport>(int drive, std::unique_ptr<ScsiTransport>)>;

  // Attaches an image; sectorSize 0 means 512. Returns the drive number, or a negative code:
  // -1 bad argument (empty path, sector size not a power of two in 512..65536), -2 the file
  // cannot be opened, -3 the table is full.
  int AttachImage(const std::string& path, bool readOnly, int sectorSize);
  // Forgets every drive the application attached; the machine's disks stay.
  void DetachAll();
  // Forgets the attached drive of this number: 0, or -1 when no attached drive has it. The
  // number is free for the next attach (a disk swapped under the same name).
  int Detach(int number);
  void UseSystemDisks(bool on);
  // Whether the disk scan looks at the file systems the machine has mounted (on by default;
  // tests turn it off so that another test's mounts do not show up in theirs).
  void UseMachineMounts(bool on);
  bool UsesMachineMounts();
  // Every image and device opens read-only (the tools' --read-only).
  void SetAllReadOnly(bool on);
  bool AllReadOnly();

  // Entry of drive n; false past the table.
  bool Get(int n, DriveEntry* out);
  // Entries in number order.
  std::vector<DriveEntry> Entries();

  // Opens the device behind a name: a drive name, or the path of an attached image or device
  // node. Returns null with the thread's last OS error set when it cannot.
  std::unique_ptr<ScsiTransport> Open(const std::string& name);

  // Folders the disk scan looks at besides the mounted file systems.
  struct Volume {
    std::string folder;  // ends in '/'
    bool readOnly = false;
  };
  void AddVolume(const std::string& folder, bool readOnly);
  std::vector<Volume> Volumes();

  // Tests wrap the transports of new opens (fault injection); null removes the wrapper.
  void SetDecorator(Decorator d);

  // The disk that holds "/" as a /dev path ("/dev/vda"); empty when it cannot be told.
  static std::string SystemDiskPath();

 private:
  void ScanSystemDisksLocked() QVFS_REQUIRES(mutex_);
  int FreeNumberLocked() const QVFS_REQUIRES(mutex_);
  DriveEntry* FindLocked(const std::string& name) QVFS_REQUIRES(mutex_);

  std::mutex mutex_;
  std::vector<DriveEntry> drives_ QVFS_GUARDED_BY(mutex_);  // sorted by number
  bool useSystemDisks_ QVFS_GUARDED_BY(mutex_) = true;
  bool systemScanned_ QVFS_GUARDED_BY(mutex_) = false;
  bool useMachineMounts_ QVFS_GUARDED_BY(mutex_) = true;
  bool allReadOnly_ QVFS_GUARDED_BY(mutex_) = false;
  Decorator decorator_ QVFS_GUARDED_BY(mutex_);
  std::vector<Volume> volumes_ QVFS_GUARDED_BY(mutex_);
};

}  // namespace platform
