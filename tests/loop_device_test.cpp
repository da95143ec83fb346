// The block-device path on a real block device: a loop device over an image, with 512- and
// 4096-byte sectors. Skipped where the machine refuses loop devices (not root, no loop support).
#include <sys/stat.h>

#include <cstdio>
#include <memory>

#include "device/disk_dev.h"
#include "serialfile/serial_file.h"
#include "test_support.h"

using testsupport::LibraryTest;
using testsupport::Pattern;

namespace {

std::string Run(const std::string& cmd) {
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buf[256];
    while (fgets(buf, sizeof buf, p)) out += buf;
    if (pclose(p) != 0) return {};
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

// A loop device over an image, always detached again.
class LoopDevice {
 public:
  LoopDevice(const std::string& image, uint32_t sectorSize) {
    dev_ = Run("losetup -f --show --sector-size " + std::to_string(sectorSize) + " " + image +
               " 2>/dev/null");
  }
  ~LoopDevice() {
    if (!dev_.empty()) Run("losetup -d " + dev_ + " 2>/dev/null");
  }
  const std::string& path() const { return dev_; }

 private:
  std::string dev_;
};

class LoopDeviceTest : public LibraryTest, public ::testing::WithParamInterface<uint32_t> {};

}  // namespace

TEST_P(LoopDeviceTest, ReadsAndWritesThroughTheBlockDevice) {
  const uint32_t ss = GetParam();
  std::string image = tmp_.File("loop.img");
  testsupport::MakeSparseFile(image, 16 << 20);
  LoopDevice loop(image, ss);
  if (loop.path().empty()) GTEST_SKIP() << "losetup refused here (needs root and loop support)";

  int n = QVFS_AttachImage(loop.path().c_str(), 0, 0);
  ASSERT_GE(n, 0);
  QVFS_DriveInfo info;
  ASSERT_EQ(QVFS_GetDriveInfo(n, &info), 0);
  EXPECT_EQ(info.sectorSize, ss);  // asked of the device (BLKSSZGET), not given
  EXPECT_EQ(info.capacity, (16u << 20) / ss - 1);

  CDisk_Dev dev;
  ASSERT_GE(dev.associate(info.name, false), 0);
  auto data = Pattern(3 * ss + 17, 1);
  ASSERT_EQ(dev.Write(7, data.data(), data.size(), true), 0);
  std::vector<uint8_t> back(data.size());
  ASSERT_EQ(dev.Read(7, back.data(), back.size(), true), 0);
  EXPECT_EQ(back, data);
  EXPECT_TRUE(dev.FlushCache());

  CSerial_file f;
  ASSERT_EQ(f.Open(&dev, 64, 65536, MODE_RDWR), 0);
  ASSERT_EQ(f.WritePos(ss - 1, data.data(), 2, true), 2);
  ASSERT_EQ(f.ReadPos(ss - 1, back.data(), 2, true), 2);
  EXPECT_EQ(back[0], data[0]);
  EXPECT_EQ(back[1], data[1]);
  dev.Close();
  QVFS_DetachAll();
  // What went through the device is in the image.
  auto disk = testsupport::ReadFileBytes(image, 7ull * ss, data.size());
  EXPECT_EQ(disk, data);
}

TEST_P(LoopDeviceTest, ReadOnlyBlockDeviceRefusesWrites) {
  const uint32_t ss = GetParam();
  std::string image = tmp_.File("ro.img");
  testsupport::MakeSparseFile(image, 8 << 20);
  LoopDevice loop(image, ss);
  if (loop.path().empty()) GTEST_SKIP() << "losetup refused here (needs root and loop support)";
  int n = QVFS_AttachImage(loop.path().c_str(), 1, 0);
  ASSERT_GE(n, 0);
  CDisk_Dev dev;
  ASSERT_GE(dev.associate(("\\\\.\\PhysicalDrive" + std::to_string(n)).c_str(), false), 0);
  std::vector<uint8_t> data(ss, 0x77);
  EXPECT_EQ(dev.Write(1, data.data(), data.size(), true), DEV_WRITE_FAILED);
  dev.Close();
  QVFS_DetachAll();
  EXPECT_EQ(testsupport::ReadFileBytes(image, ss, ss), std::vector<uint8_t>(ss, 0));
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, LoopDeviceTest, ::testing::Values(512u, 4096u));
