// A program built against an installed qvfs, through pkg-config or the CMake package, with
// nothing but the public headers. It attaches sparse images with 512- and 4096-byte sectors and
// drives the device and region-file classes through them, checking the results against the
// image file itself.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <qvfs/classes.h>
#include <qvfs/qvfs.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint64_t kImageBytes = 8ull << 20;
constexpr uint64_t kRegionLba = 100;
constexpr uint32_t kRegionBytes = 64 * 1024;

[[noreturn]] void Die(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fputs("consumer: ", stderr);
  vfprintf(stderr, fmt, ap);
  fputc('\n', stderr);
  va_end(ap);
  exit(1);
}

#define CHECK(cond, ...)                                                   \
  do {                                                                     \
    if (!(cond)) {                                                         \
      fprintf(stderr, "consumer: [ss %u] check failed: %s (line %d)\n  ", \
              g_sectorSize, #cond, __LINE__);                              \
      Die(__VA_ARGS__);                                                    \
    }                                                                      \
  } while (0)

uint32_t g_sectorSize = 0;

// A byte pattern that differs per position and per seed.
std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  uint32_t x = seed * 2654435761u + 12345u;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    v[i] = static_cast<uint8_t>(x >> 16);
  }
  return v;
}

// Bytes of the image file itself, read past the library.
std::vector<uint8_t> FileBytes(const std::string& path, uint64_t offset, size_t n) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Die("cannot open %s: %s", path.c_str(), strerror(errno));
  std::vector<uint8_t> v(n);
  ssize_t got = pread(fd, v.data(), n, static_cast<off_t>(offset));
  close(fd);
  if (got != static_cast<ssize_t>(n)) Die("short read of %s at %llu", path.c_str(),
                                         static_cast<unsigned long long>(offset));
  return v;
}

bool AllBytes(const uint8_t* p, size_t n, uint8_t value) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != value) return false;
  return true;
}

void CheckDevice(CDisk_Dev* dev, const std::string& path) {
  const uint32_t ss = g_sectorSize;
  CHECK(dev->get_sec_size() == ss, "sector size %u", dev->get_sec_size());
  CHECK(dev->get_capacity() == kImageBytes / ss - 1, "capacity (last LBA) %llu",
        static_cast<unsigned long long>(dev->get_capacity()));

  // Sectors 5..9 get a known pattern in one whole-sector write.
  const std::vector<uint8_t> base = Pattern(5 * ss, 1);
  CHECK(dev->Write(5, base.data(), base.size(), true) == 0, "whole-sector write failed");
  CHECK(FileBytes(path, 5ull * ss, base.size()) == base, "the image does not hold the write");

  // Three bytes at the start of sector 5: the rest of that sector keeps its content.
  const uint8_t three[3] = {0xC1, 0xC2, 0xC3};
  CHECK(dev->Write(5, three, sizeof three, true) == 0, "3-byte write failed");
  std::vector<uint8_t> sector5 = FileBytes(path, 5ull * ss, ss);
  CHECK(std::memcmp(sector5.data(), three, 3) == 0, "the 3 bytes did not reach sector 5");
  CHECK(std::memcmp(sector5.data() + 3, base.data() + 3, ss - 3) == 0,
        "a 3-byte write changed the rest of sector 5");
  std::vector<uint8_t> back(ss, 0);
  CHECK(dev->Read(5, back.data(), ss, true) == 0, "reading sector 5 failed");
  CHECK(back == sector5, "Read of sector 5 differs from the image");

  // ss + 10 bytes from sector 7: sector 7 and the first 10 bytes of sector 8; the caller's
  // buffer past them stays untouched.
  std::vector<uint8_t> buf(2 * ss, 0x5A);
  CHECK(dev->Read(7, buf.data(), ss + 10, true) == 0, "reading ss + 10 bytes failed");
  CHECK(std::memcmp(buf.data(), base.data() + 2 * ss, ss + 10) == 0,
        "ss + 10 bytes from sector 7 differ from what was written");
  CHECK(AllBytes(buf.data() + ss + 10, ss - 10, 0x5A),
        "reading ss + 10 bytes wrote past them into the caller's buffer");

  // ss + 10 bytes written at sector 20: sector 21 keeps its bytes past the first 10.
  const std::vector<uint8_t> old2 = Pattern(2 * ss, 2);
  CHECK(dev->Write(20, old2.data(), old2.size(), true) == 0, "writing sectors 20..21 failed");
  const std::vector<uint8_t> part = Pattern(ss + 10, 3);
  CHECK(dev->Write(20, part.data(), part.size(), true) == 0, "writing ss + 10 bytes failed");
  std::vector<uint8_t> disk = FileBytes(path, 20ull * ss, 2 * ss);
  CHECK(std::memcmp(disk.data(), part.data(), ss + 10) == 0,
        "ss + 10 bytes at sector 20 did not reach the image");
  CHECK(std::memcmp(disk.data() + ss + 10, old2.data() + ss + 10, ss - 10) == 0,
        "writing ss + 10 bytes changed the rest of sector 21");
}

void CheckRegion(CDisk_Dev* dev, const std::string& path) {
  const uint32_t ss = g_sectorSize;
  const uint64_t regionByte = kRegionLba * ss;
  CSerial_file f;
  CHECK(f.Open(dev, kRegionLba, kRegionBytes, 2) == 0, "opening the region failed");
  CHECK(f.IsOpened(), "the region is not open");
  CHECK(f.get_sec_size() == ss, "region sector size %u", f.get_sec_size());
  CHECK(f.get_data_size() == kRegionBytes, "region data size %u", f.get_data_size());

  // Fill the region with 0xAA so later checks see what each transfer changed.
  std::vector<uint8_t> fill(kRegionBytes, 0xAA);
  int r = f.WritePos(0, fill.data(), kRegionBytes, true);
  CHECK(r == static_cast<int>(kRegionBytes), "filling the region: %d", r);
  CHECK(FileBytes(path, regionByte, kRegionBytes) == fill, "the fill did not reach the image");
  CHECK(AllBytes(FileBytes(path, regionByte - ss, ss).data(), ss, 0),
        "the fill wrote before the region");
  CHECK(AllBytes(FileBytes(path, regionByte + kRegionBytes, ss).data(), ss, 0),
        "the fill wrote past the region");

  // Seeks.
  CHECK(f.Seek(0, 2) == 0, "Seek(0, 2) failed");
  CHECK(f.get_cur_offset() == kRegionBytes - 1, "Seek(0, 2) put the offset at %u",
        f.get_cur_offset());
  CHECK(f.Seek(0, 0) == 0 && f.get_cur_offset() == 0, "Seek(0, 0) failed");
  r = f.Seek(-1, 1);
  CHECK(r == -1001, "Seek(-1, 1) at offset 0 returned %d", r);
  CHECK(f.get_cur_offset() == 0, "a refused seek moved the offset to %u", f.get_cur_offset());

  // Size checks.
  uint8_t small[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  r = f.ReadPos(16, small, 0, true);
  CHECK(r == -2002, "ReadPos of 0 bytes returned %d", r);
  r = f.WritePos(kRegionBytes - 4, small, 4, true);
  CHECK(r == 4, "WritePos of the last 4 bytes returned %d", r);
  CHECK(FileBytes(path, regionByte + kRegionBytes - 4, 4) == std::vector<uint8_t>(small, small + 4),
        "the last 4 bytes did not reach the image");
  r = f.WritePos(kRegionBytes - 4, small + 4, 5, true);
  CHECK(r == -2004, "WritePos of 5 bytes over the end returned %d", r);
  CHECK(FileBytes(path, regionByte + kRegionBytes - 4, 4) == std::vector<uint8_t>(small, small + 4),
        "a refused write changed the region");
  CHECK(AllBytes(FileBytes(path, regionByte + kRegionBytes, ss).data(), ss, 0),
        "a refused write changed the sector past the region");

  // One byte at the end of the first sector, read back; its neighbours keep the fill.
  const uint8_t one = 0x3C;
  r = f.WritePos(ss - 1, &one, 1, true);
  CHECK(r == 1, "1-byte WritePos returned %d", r);
  uint8_t three[3] = {0, 0, 0};
  r = f.ReadPos(ss - 2, three, 3, true);
  CHECK(r == 3, "ReadPos around the byte returned %d", r);
  CHECK(three[0] == 0xAA && three[1] == one && three[2] == 0xAA,
        "around offset ss - 1: %02x %02x %02x", three[0], three[1], three[2]);
  CHECK(FileBytes(path, regionByte + ss - 1, 1)[0] == one, "the byte is not in the image");

  // Appends of 100 bytes from offset 0, running past the first sector: they read back as
  // written, and on disk the last sector holds zeros after them while the sector after it keeps
  // the fill.
  const uint32_t appends = ss / 100 + 2;
  const uint32_t total = appends * 100;
  const std::vector<uint8_t> data = Pattern(total, 4);
  CHECK(f.Seek(0, 0) == 0, "Seek(0, 0) failed");
  for (uint32_t i = 0; i < appends; ++i) {
    r = f.WriteCachePos(i * 100, data.data() + i * 100, 100, true);
    CHECK(r == 100, "append %u returned %d", i, r);
    CHECK(f.get_cur_offset() == (i + 1) * 100, "after append %u the offset is %u", i,
          f.get_cur_offset());
  }
  std::vector<uint8_t> got(total, 0);
  r = f.ReadPos(0, got.data(), total, true);
  CHECK(r == static_cast<int>(total), "reading the appends returned %d", r);
  CHECK(got == data, "the appends read back differently");
  const uint32_t lastSectorEnd = (total + ss - 1) / ss * ss;
  std::vector<uint8_t> image = FileBytes(path, regionByte, lastSectorEnd + ss);
  CHECK(std::memcmp(image.data(), data.data(), total) == 0, "the appends are not in the image");
  CHECK(AllBytes(image.data() + total, lastSectorEnd - total, 0),
        "the rest of the last appended sector is not zeros");
  CHECK(AllBytes(image.data() + lastSectorEnd, ss, 0xAA),
        "the appends changed the sector after the last one");

  CHECK(f.Close() == 0 && !f.IsOpened(), "closing the region failed");
}

void RunWithSectorSize(const std::string& dir, uint32_t ss) {
  g_sectorSize = ss;
  const std::string path = dir + "/disk" + std::to_string(ss) + ".img";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) Die("cannot create %s: %s", path.c_str(), strerror(errno));
  if (ftruncate(fd, static_cast<off_t>(kImageBytes)) != 0) Die("cannot size %s", path.c_str());
  close(fd);

  int n = QVFS_AttachImage(path.c_str(), 0, static_cast<int>(ss));
  CHECK(n >= 0 && n < 16, "QVFS_AttachImage returned %d", n);
  QVFS_DriveInfo info;
  CHECK(QVFS_GetDriveInfo(n, &info) == 0, "no drive %d after attaching", n);
  CHECK(info.sectorSize == ss, "drive table sector size %u", info.sectorSize);
  CHECK(info.capacity == kImageBytes / ss - 1, "drive table capacity %llu",
        static_cast<unsigned long long>(info.capacity));

  const std::string name = "\\\\.\\PhysicalDrive" + std::to_string(n);
  CHECK(std::string(info.name) == name, "drive name %s", info.name);
  CDisk_Dev* dev = CDevFlyWeightFactory::getSingleton()->CreateScsiDev(name.c_str(), false);
  CHECK(dev != nullptr, "CreateScsiDev(%s) failed", name.c_str());
  CHECK(CDevFlyWeightFactory::getSingleton()->CreateScsiDev(name.c_str(), false) == dev,
        "a second CreateScsiDev gave another device");

  CheckDevice(dev, path);
  CheckRegion(dev, path);
  QVFS_DetachAll();
  unlink(path.c_str());
}

}  // namespace

int main() {
  const char* tmp = getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/qvfs-consumer.XXXXXX";
  std::vector<char> dir(templ.begin(), templ.end());
  dir.push_back('\0');
  if (!mkdtemp(dir.data())) Die("mkdtemp failed: %s", strerror(errno));

  QVFS_UseSystemDisks(0);
  QVFS_SetConsoleOutput(0);
  RunWithSectorSize(dir.data(), 512);
  RunWithSectorSize(dir.data(), 4096);
  rmdir(dir.data());
  printf("consumer: ok\n");
  return 0;
}
