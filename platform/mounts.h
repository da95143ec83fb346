// The machine's mounted file systems (/proc/self/mounts), and whether a disk or disk image is in
// use by one of them: formatting refuses such a drive.
#pragma once

#include <string>
#include <vector>

namespace platform {

struct MountEntry {
  std::string source;      // "/dev/sdb1", "tmpfs", ...
  std::string mountPoint;
  std::string fsType;
};

// The mount table in its order; empty when it cannot be read.
std::vector<MountEntry> ReadMounts();

// True when a mounted file system lives on the block device at path or on one of its
// partitions, or, for an image file, on a loop device backed by it.
bool HasMountedFileSystem(const std::string& path);
// True when a mount source (a /dev path) is the disk at diskPath, one of its partitions, or (for
// an image file) a loop device backed by it or one of that device's partitions.
bool IsOnDisk(const std::string& source, const std::string& diskPath);

}  // namespace platform
