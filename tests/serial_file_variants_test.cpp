// The region-file interface and its device and ordinary-file variants.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>

#include "serialfile/serial_file_com.h"
#include "serialfile/serial_file_factory.h"
#include "serialfile/serial_file_raw.h"
#include "test_support.h"

using testsupport::LibraryTest;
using testsupport::Pattern;
using testsupport::ReadFileBytes;

namespace {

int64_t FileSize(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

class VariantsTest : public LibraryTest {};

}  // namespace

TEST_F(VariantsTest, FactoryChoosesByPath) {
  std::unique_ptr<CSerialFileBase> raw(CSerialFileFactory::CreateSerialFile("\\\\.\\PhysicalDrive2"));
  std::unique_ptr<CSerialFileBase> com(CSerialFileFactory::CreateSerialFile("E:\\recindex.bin"));
  std::unique_ptr<CSerialFileBase> other(CSerialFileFactory::CreateSerialFile("/media/x/00001.asf"));
  EXPECT_NE(dynamic_cast<CSerialFileRaw*>(raw.get()), nullptr);
  EXPECT_NE(dynamic_cast<CSerialFileCom*>(com.get()), nullptr);
  EXPECT_NE(dynamic_cast<CSerialFileCom*>(other.get()), nullptr);
  EXPECT_EQ(raw->get_data_size(), 268435456u);
  EXPECT_EQ(com->get_data_size(), 134217728u);
  EXPECT_TRUE(raw->is_closed());
}

TEST_F(VariantsTest, DeviceVariantOpensThroughTheRegistry) {
  std::string name = AttachImage(8 << 20);
  CSerialFileRaw f;
  f.SwitchRecordTime(true);
  QVFS_SetManualClock(1, 1'700'000'000'123);
  ASSERT_EQ(f.Open(name.c_str(), 200, 0, 8192, MODE_RDWR), 0);
  EXPECT_EQ(f.GetLastWtTime(), 1'700'000'000'000);  // whole seconds
  EXPECT_EQ(f.GetScsiDev(), ctx_->get().registry().CreateScsiDev(name.c_str(), false));
  EXPECT_EQ(f.get_name(), name);
  auto data = Pattern(3000, 1);
  QVFS_AdvanceClock(5000);
  EXPECT_EQ(f.Write(data.data(), 3000, true), 3000);
  EXPECT_EQ(f.GetLastWtTime(), 1'700'000'005'000);
  EXPECT_EQ(ReadFileBytes(imagePath_, 200 * 512, 3000), data);
  uint8_t b[16];
  EXPECT_EQ(f.ReadPos(8190, b, 16, true), ERR_DATA_OVER_FILE);
  EXPECT_TRUE(Printed("dataSize 16 is ERR_DATA_OVER_FILE. file size 8192  diff 14 \n"));
  CSerialFileRaw none;
  EXPECT_EQ(none.Open("\\\\.\\PhysicalDrive9", 200, 0, 8192, MODE_RDWR), ERR_NO_DEVICE);
  EXPECT_TRUE(Printed("NO device.\n"));
  EXPECT_EQ(none.Open(name.c_str(), 0, 0, 8192, MODE_RDWR), ERR_ACCESS_MODE);
  QVFS_SetManualClock(0, 0);
}

TEST_F(VariantsTest, DeviceVariantTakesA64BitStartLba) {
  std::string name = AttachImage(8 << 20);
  CSerialFileRaw f;
  // LBA 2^32 + 200 lies far past the device.
  EXPECT_EQ(f.Open(name.c_str(), 200, 1, 8192, MODE_RDWR), ERR_OVER_DEVICE);
}

TEST_F(VariantsTest, FileVariantCreatesAndGrowsShortFilesOnClose) {
  std::string path = tmp_.File("00001.asf");
  CSerialFileCom f;
  ASSERT_EQ(f.Open(path.c_str(), 0, 0, 2 << 20, MODE_RDWR), 0);  // created
  auto data = Pattern(1000, 2);
  EXPECT_EQ(f.WriteCachePos(0, data.data(), 1000, true), 1000);
  ASSERT_EQ(f.Seek((2 << 20) - 100, 0), 0);  // appends reached the last MiB
  f.Close();
  EXPECT_EQ(FileSize(path), 2 << 20);
  EXPECT_EQ(ReadFileBytes(path, (2 << 20) - 1, 1), std::vector<uint8_t>{'1'});
  EXPECT_EQ(ReadFileBytes(path, 0, 1000), data);
}

TEST_F(VariantsTest, FileVariantLeavesFullAndReadOnlyFilesAlone) {
  std::string path = tmp_.File("full.bin");
  auto data = Pattern(4096, 3);
  testsupport::MakeSparseFile(path, 0);
  testsupport::WriteFileBytes(path, 0, data.data(), data.size());
  {
    CSerialFileCom f;  // already full size: nothing is written at the end
    ASSERT_EQ(f.Open(path.c_str(), 0, 0, 4096, MODE_RDWR), 0);
    ASSERT_EQ(f.Seek(4000, 0), 0);
    f.Close();
    EXPECT_EQ(ReadFileBytes(path, 0, 4096), data);
  }
  {
    CSerialFileCom f;  // read-only: never changed, never extended
    ASSERT_EQ(f.Open(path.c_str(), 0, 0, 8192, MODE_RDONLY), 0);
    ASSERT_EQ(f.Seek(8000, 0), 0);
    uint8_t b[4] = {9, 9, 9, 9};
    EXPECT_EQ(f.WritePos(0, b, 4, true), ERR_ACCESS_MODE);
    EXPECT_EQ(f.WriteCachePos(0, b, 4, true), ERR_ACCESS_MODE);
    EXPECT_EQ(f.Write(b, 4, true), ERR_ACCESS_MODE);
    f.Close();
    EXPECT_EQ(FileSize(path), 4096);
    EXPECT_EQ(ReadFileBytes(path, 0, 4096), data);
  }
  CSerialFileCom missing;
  EXPECT_EQ(missing.Open(tmp_.File("nope.bin").c_str(), 0, 0, 4096, MODE_RDONLY), ERR_FILE_OPEN);
  EXPECT_EQ(FileSize(tmp_.File("nope.bin")), -1);  // a read-only open creates nothing
  EXPECT_EQ(missing.Open(nullptr, 0, 0, 4096, MODE_RDWR), ERR_NO_STREAM);
}

TEST_F(VariantsTest, FileVariantSeekAndPositionedTransfers) {
  std::string path = tmp_.File("r.bin");
  CSerialFileCom f;
  ASSERT_EQ(f.Open(path.c_str(), 0, 0, 10000, MODE_RDWR), 0);
  EXPECT_EQ(f.Seek(-5, 1), ERR_SEEK_PARAM);  // negative offsets are refused for every origin
  EXPECT_EQ(f.Seek(10001, 0), ERR_SEEK_PARAM);
  EXPECT_EQ(f.Seek(0, 2), 0);
  EXPECT_EQ(f.GetCurOffset(false), 9999u);
  EXPECT_EQ(f.GetCurOffset(true), 9999u);  // the stream went where the offset went
  auto data = Pattern(3000, 4);
  EXPECT_EQ(f.WritePos(5000, data.data(), 3000, true), 3000);
  std::vector<uint8_t> back(3000);
  EXPECT_EQ(f.ReadPos(5000, back.data(), 3000, true), 3000);
  EXPECT_EQ(back, data);
  EXPECT_EQ(f.GetCurOffset(false), 8000u);
  EXPECT_EQ(f.ReadPos(9000, back.data(), 1001, true), ERR_DATA_OVER_FILE);
  EXPECT_EQ(f.WritePos(9000, data.data(), 1001, true), ERR_DATA_OVER_FILE);
  EXPECT_EQ(f.ReadPos(0, back.data(), 0, true), ERR_ZERO_SIZE);
  f.Close();
  EXPECT_EQ(f.ReadPos(0, back.data(), 10, true), ERR_NO_DEVICE);  // no stream: a failure
}

TEST_F(VariantsTest, FileVariantReportsAFailedSeekInsteadOfWriting) {
  std::string fifo = tmp_.File("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  CSerialFileCom f;
  ASSERT_EQ(f.Open(fifo.c_str(), 0, 0, 4096, MODE_RDWR), 0);
  uint8_t b[8] = {};
  EXPECT_EQ(f.WriteCachePos(100, b, 8, true), ERR_SEEK_PARAM);
  EXPECT_EQ(f.GetCurOffset(false), 0u);
  EXPECT_EQ(f.WritePos(100, b, 8, true), ERR_SEEK_PARAM);
  EXPECT_TRUE(Printed("SEEK_CUR error destoffset 100"));
  f.Close();
}

TEST_F(VariantsTest, LongPathsAreKeptWhole) {
  std::string dir = tmp_.path() + "/" + std::string(80, 'd');
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  std::string path = dir + "/CH01_2026-12-08 10-00-00__2026-12-08 10-30-00.asf";
  CSerialFileCom f;
  ASSERT_EQ(f.Open(path.c_str(), 0, 0, 4096, MODE_RDWR), 0);
  EXPECT_EQ(f.get_name(), path);
  auto data = Pattern(100, 5);
  ASSERT_EQ(f.WritePos(0, data.data(), 100, true), 100);
  ASSERT_EQ(f.Reopen(), 0);  // re-opens by the stored name
  std::vector<uint8_t> back(100);
  EXPECT_EQ(f.ReadPos(0, back.data(), 100, true), 100);
  EXPECT_EQ(back, data);
}

TEST_F(VariantsTest, WholeFileCopyMovesPiecesWithPauses) {
  std::string src = tmp_.File("src.asf"), dst = tmp_.File("dst.asf");
  const uint32_t size = 2 * 524288 + 1000;
  auto data = Pattern(size, 6);
  testsupport::MakeSparseFile(src, 0);
  testsupport::WriteFileBytes(src, 0, data.data(), size);
  CSerialFileCom a, b;
  ASSERT_EQ(a.Open(src.c_str(), 0, 0, size, MODE_RDONLY), 0);
  ASSERT_EQ(b.Open(dst.c_str(), 0, 0, size, MODE_RDWR), 0);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(CSerialFileFactory::CopyWholeFile(&a, &b), 1000);  // the rest, last
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - t0).count();
  EXPECT_GE(ms, 200);  // a pause after each of the two whole pieces
  b.Close();
  EXPECT_EQ(ReadFileBytes(dst, 0, size), data);

  CSerialFileCom c, tooSmall;
  ASSERT_EQ(c.Open(src.c_str(), 0, 0, size, MODE_RDONLY), 0);
  ASSERT_EQ(tooSmall.Open(tmp_.File("small.asf").c_str(), 0, 0, 600000, MODE_RDWR), 0);
  EXPECT_EQ(CSerialFileFactory::CopyWholeFile(&c, &tooSmall), ERR_DATA_OVER_FILE);
  EXPECT_TRUE(Printed("Write fail dest file pos 524288 size 524288 ret -2004 .\n"));
}

TEST_F(VariantsTest, DeviceToFileExport) {
  std::string name = AttachImage(8 << 20);
  auto data = Pattern(70000, 7);
  testsupport::WriteFileBytes(imagePath_, 300 * 512, data.data(), data.size());
  std::unique_ptr<CSerialFileBase> src(CSerialFileFactory::CreateSerialFile(name.c_str()));
  std::unique_ptr<CSerialFileBase> dst(CSerialFileFactory::CreateSerialFile(tmp_.File("out.asf").c_str()));
  ASSERT_EQ(src->Open(name.c_str(), 300, 0, 70000, MODE_RDONLY), 0);
  ASSERT_EQ(dst->Open(tmp_.File("out.asf").c_str(), 0, 0, 70000, MODE_RDWR), 0);
  EXPECT_EQ(CSerialFileFactory::CopyWholeFile(src.get(), dst.get()), 70000);
  dst->Close();
  auto out = ReadFileBytes(tmp_.File("out.asf"), 0, 70000);
  ASSERT_EQ(out.size(), data.size());
  size_t firstDiff = std::mismatch(out.begin(), out.end(), data.begin()).first - out.begin();
  EXPECT_EQ(firstDiff, data.size());
}

