#include "platform/mounts.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cctype>
#include <fstream>
#include <sstream>

namespace platform {

namespace {
// /proc/self/mounts writes spaces and other characters as \ooo.
std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && isdigit(s[i + 1]) && isdigit(s[i + 2]) &&
        isdigit(s[i + 3])) {
      out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::string RealPath(const std::string& p) {
  char buf[PATH_MAX];
  return realpath(p.c_str(), buf) ? std::string(buf) : p;
}

// "/dev/sdb1" and "/dev/nvme0n1p2" belong to "/dev/sdb" and "/dev/nvme0n1".
bool IsSameDiskOrPartition(const std::string& source, const std::string& disk) {
  if (source.compare(0, disk.size(), disk) != 0) return false;
  std::string rest = source.substr(disk.size());
  if (!rest.empty() && rest[0] == 'p') rest.erase(0, 1);
  for (char c : rest)
    if (!isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

// Loop devices whose backing file is the image.
std::vector<std::string> LoopDevicesOf(const std::string& image) {
  std::vector<std::string> out;
  DIR* d = opendir("/sys/block");
  if (!d) return out;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name.compare(0, 4, "loop") != 0) continue;
    std::ifstream f("/sys/block/" + name + "/loop/backing_file");
    std::string backing;
    if (std::getline(f, backing) && RealPath(backing) == image) out.push_back("/dev/" + name);
  }
  closedir(d);
  return out;
}
}  // namespace

std::vector<MountEntry> ReadMounts() {
  std::vector<MountEntry> out;
  std::ifstream f("/proc/self/mounts");
  std::string line;
  while (std::getline(f, line)) {
    std::istringstream in(line);
    MountEntry m;
    if (!(in >> m.source >> m.mountPoint >> m.fsType)) continue;
    m.source = Unescape(m.source);
    m.mountPoint = Unescape(m.mountPoint);
    out.push_back(m);
  }
  return out;
}

namespace {
// The block devices a disk path stands for: itself, or the loop devices backed by an image.
std::vector<std::string> BlockDevicesOf(const std::string& path) {
  const std::string real = RealPath(path);
  struct stat st;
  if (stat(real.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return LoopDevicesOf(real);
  return {real};
}
}  // namespace

bool IsOnDisk(const std::string& source, const std::string& diskPath) {
  if (source.empty() || source[0] != '/') return false;
  const std::string real = RealPath(source);
  for (const std::string& disk : BlockDevicesOf(diskPath))
    if (IsSameDiskOrPartition(real, disk)) return true;
  return false;
}

bool HasMountedFileSystem(const std::string& path) {
  for (const MountEntry& m : ReadMounts())
    if (IsOnDisk(m.source, path)) return true;
  return false;
}

}  // namespace platform
