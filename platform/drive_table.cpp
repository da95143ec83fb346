#include "platform/drive_table.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "platform/emulating_transport.h"
#include "platform/last_error.h"
#include "platform/sgio_transport.h"

namespace platform {

namespace {

std::string ReadSysText(const std::string& path) {
  std::ifstream in(path);
  std::string s;
  std::getline(in, s);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\n')) s.pop_back();
  return s;
}

bool IsWholeDiskName(const std::string& n) {
  auto starts = [&](const char* p) { return n.rfind(p, 0) == 0; };
  if (n.find("boot") != std::string::npos || n.find("rpmb") != std::string::npos) return false;
  if (starts("sd") || starts("vd") || starts("xvd") || starts("mmcblk")) return true;
  if (starts("nvme")) return n.find('n', 4) != std::string::npos && n.find('p') == std::string::npos;
  return false;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string DriveName(int number) { return std::string(kDriveNamePrefix) + std::to_string(number); }

int DriveNumberOf(const std::string& name) {
  std::string rest = name;
  if (rest.rfind(kDevicePathPrefix, 0) == 0) rest = rest.substr(sizeof(kDevicePathPrefix) - 1);
  static const std::string kPhysical = "PhysicalDrive";
  if (rest.rfind(kPhysical, 0) != 0) return -1;
  rest = rest.substr(kPhysical.size());
  if (rest.empty() || rest.size() > 2) return -1;
  int n = 0;
  for (char c : rest) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return n < kMaxDrives ? n : -1;
}

std::string DriveTable::SystemDiskPath() {
  struct stat st {};
  if (stat("/", &st) != 0) return {};
  char link[64];
  snprintf(link, sizeof link, "/sys/dev/block/%u:%u", major(st.st_dev), minor(st.st_dev));
  char real[4096];
  if (!realpath(link, real)) return {};
  std::string dir = real;
  // A partition's sysfs folder holds a "partition" file and sits inside its disk's folder.
  if (access((dir + "/partition").c_str(), F_OK) == 0) dir = dir.substr(0, dir.find_last_of('/'));
  return "/dev/" + BaseName(dir);
}

int DriveTable::FreeNumberLocked() const {
  for (int n = 0; n < kMaxDrives; ++n) {
    bool used = std::any_of(drives_.begin(), drives_.end(),
                            [n](const DriveEntry& d) { return d.number == n; });
    if (!used) return n;
  }
  return -1;
}

int DriveTable::AttachImage(const std::string& path, bool readOnly, int sectorSize) {
  if (sectorSize == 0) sectorSize = 512;
  if (path.empty() || sectorSize < 512 || sectorSize > 65536 || (sectorSize & (sectorSize - 1)))
    return -1;
  std::lock_guard<std::mutex> g(mutex_);
  bool ro = readOnly || allReadOnly_;
  int fd = ::open(path.c_str(), (ro ? O_RDONLY : O_RDWR) | O_CLOEXEC);
  if (fd < 0) return -2;
  struct stat st {};
  bool blockDevice = fstat(fd, &st) == 0 && S_ISBLK(st.st_mode);
  ::close(fd);
  int n = FreeNumberLocked();
  if (n < 0) return -3;
  DriveEntry e;
  e.number = n;
  e.name = DriveName(n);
  char real[4096];
  e.path = realpath(path.c_str(), real) ? real : path;
  e.image = !blockDevice;
  e.attached = true;
  e.readOnly = ro;
  e.sectorSize = blockDevice ? 0 : static_cast<uint32_t>(sectorSize);
  e.text = blockDevice ? BaseName(e.path) : "IMAGE " + BaseName(e.path);
  drives_.push_back(e);
  std::sort(drives_.begin(), drives_.end(),
            [](const DriveEntry& a, const DriveEntry& b) { return a.number < b.number; });
  return n;
}

void DriveTable::DetachAll() {
  std::lock_guard<std::mutex> g(mutex_);
  drives_.erase(std::remove_if(drives_.begin(), drives_.end(),
                               [](const DriveEntry& d) { return d.attached; }),
                drives_.end());
}

int DriveTable::Detach(int number) {
  std::lock_guard<std::mutex> g(mutex_);
  const auto it = std::find_if(drives_.begin(), drives_.end(), [number](const DriveEntry& d) {
    return d.attached && d.number == number;
  });
  if (it == drives_.end()) return -1;
  drives_.erase(it);
  return 0;
}

void DriveTable::UseSystemDisks(bool on) {
  std::lock_guard<std::mutex> g(mutex_);
  useSystemDisks_ = on;
}

void DriveTable::UseMachineMounts(bool on) {
  std::lock_guard<std::mutex> g(mutex_);
  useMachineMounts_ = on;
}

bool DriveTable::UsesMachineMounts() {
  std::lock_guard<std::mutex> g(mutex_);
  return useMachineMounts_;
}

void DriveTable::SetAllReadOnly(bool on) {
  std::lock_guard<std::mutex> g(mutex_);
  allReadOnly_ = on;
  if (on)
    for (DriveEntry& d : drives_) d.readOnly = true;
}

void DriveTable::ScanSystemDisksLocked() {
  if (systemScanned_ || !useSystemDisks_) return;
  systemScanned_ = true;
  std::vector<std::string> names;
  if (DIR* dir = opendir("/sys/block")) {
    while (dirent* de = readdir(dir)) {
      if (IsWholeDiskName(de->d_name)) names.push_back(de->d_name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  std::string systemDisk = SystemDiskPath();
  for (const std::string& n : names) {
    int number = FreeNumberLocked();
    if (number < 0) break;
    DriveEntry e;
    e.number = number;
    e.name = DriveName(number);
    e.path = "/dev/" + n;
    e.readOnly = allReadOnly_ || ReadSysText("/sys/block/" + n + "/ro") == "1";
    e.systemDrive = e.path == systemDisk;
    std::string vendor = ReadSysText("/sys/block/" + n + "/device/vendor");
    std::string model = ReadSysText("/sys/block/" + n + "/device/model");
    e.text = vendor.empty() ? model : vendor + " " + model;
    int fd = ::open(e.path.c_str(), (e.readOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC);
    if (fd < 0)
      e.openErrno = errno;
    else
      ::close(fd);
    drives_.push_back(e);
  }
  std::sort(drives_.begin(), drives_.end(),
            [](const DriveEntry& a, const DriveEntry& b) { return a.number < b.number; });
}

bool DriveTable::Get(int n, DriveEntry* out) {
  std::lock_guard<std::mutex> g(mutex_);
  ScanSystemDisksLocked();
  for (const DriveEntry& d : drives_) {
    if (d.number == n) {
      *out = d;
      return true;
    }
  }
  return false;
}

std::vector<DriveEntry> DriveTable::Entries() {
  std::lock_guard<std::mutex> g(mutex_);
  ScanSystemDisksLocked();
  return drives_;
}

DriveEntry* DriveTable::FindLocked(const std::string& name) {
  int n = DriveNumberOf(name);
  for (DriveEntry& d : drives_) {
    if ((n >= 0 && d.number == n) || (n < 0 && d.path == name)) return &d;
  }
  return nullptr;
}

std::unique_ptr<ScsiTransport> DriveTable::Open(const std::string& name) {
  DriveEntry entry;
  Decorator decorator;
  {
    std::lock_guard<std::mutex> g(mutex_);
    ScanSystemDisksLocked();
    DriveEntry* e = FindLocked(name);
    if (!e) {
      SetLastOsErrorFromErrno(ENOENT);
      return nullptr;
    }
    entry = *e;
    decorator = decorator_;
  }
  int fd = ::open(entry.path.c_str(), (entry.readOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC);
  {
    std::lock_guard<std::mutex> g(mutex_);
    if (DriveEntry* e = FindLocked(entry.name)) e->openErrno = fd < 0 ? errno : 0;
  }
  if (fd < 0) {
    SetLastOsErrorFromErrno(errno);
    return nullptr;
  }
  std::unique_ptr<ScsiTransport> t;
  struct stat st {};
  bool blockDevice = fstat(fd, &st) == 0 && S_ISBLK(st.st_mode);
  if (blockDevice && !entry.readOnly && AnswersSgIo(fd)) {
    t = std::make_unique<SgIoTransport>(fd);
  } else {
    EmulationParams p;
    p.fd = fd;
    p.readOnly = entry.readOnly;
    p.blockDevice = blockDevice;
    p.sectorSize = entry.sectorSize;
    if (blockDevice) {
      int ss = 0;
      p.sectorSize = ioctl(fd, BLKSSZGET, &ss) == 0 && ss > 0 ? static_cast<uint32_t>(ss) : 512;
      size_t space = entry.text.find(' ');
      p.vendor = space == std::string::npos ? "" : entry.text.substr(0, space);
      p.product = space == std::string::npos ? entry.text : entry.text.substr(space + 1);
    } else {
      p.vendor = "IMAGE";
      p.product = BaseName(entry.path);
    }
    t = std::make_unique<EmulatingTransport>(std::move(p));
  }
  if (decorator) t = decorator(entry.number, std::move(t));
  return t;
}

void DriveTable::SetDecorator(Decorator d) {
  std::lock_guard<std::mutex> g(mutex_);
  decorator_ = std::move(d);
}

}  // namespace platform

namespace platform {

void DriveTable::AddVolume(const std::string& folder, bool readOnly) {
  std::string f = folder;
  if (f.empty() || f.back() != '/') f += '/';
  std::lock_guard<std::mutex> g(mutex_);
  for (Volume& v : volumes_) {
    if (v.folder == f) {
      v.readOnly = readOnly;
      return;
    }
  }
  volumes_.push_back({f, readOnly});
}

std::vector<DriveTable::Volume> DriveTable::Volumes() {
  std::lock_guard<std::mutex> g(mutex_);
  std::vector<Volume> out = volumes_;
  for (Volume& v : out) v.readOnly = v.readOnly || allReadOnly_;
  return out;
}

bool DriveTable::AllReadOnly() {
  std::lock_guard<std::mutex> g(mutex_);
  return allReadOnly_;
}

}  // namespace platform
