// The platform seam: clock, last error, drive table and the three transports.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <scsi/sg.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>

#include "platform/clock.h"
#include "platform/drive_table.h"
#include "platform/emulating_transport.h"
#include "platform/fault_transport.h"
#include "platform/last_error.h"
#include "platform/sgio_transport.h"
#include "qvfs/qvfs.h"
#include "test_support.h"

using namespace platform;
using testsupport::LibraryTest;

namespace {

ScsiRequest ReadCapacity10(uint8_t* data) {
  ScsiRequest r;
  r.cdb[0] = kOpReadCapacity10;
  r.cdbLength = 10;
  r.direction = IO_DATA_IN;
  r.data = data;
  r.dataLength = 8;
  return r;
}

ScsiRequest ReadWrite10(bool write, uint32_t lba, uint16_t blocks, void* data, uint32_t bytes) {
  ScsiRequest r;
  r.cdb[0] = write ? kOpWrite10 : kOpRead10;
  PutBe(r.cdb + 2, 4, lba);
  PutBe(r.cdb + 7, 2, blocks);
  r.cdbLength = 10;
  r.direction = write ? IO_DATA_OUT : IO_DATA_IN;
  r.data = data;
  r.dataLength = bytes;
  return r;
}

int SenseKeyOf(const ScsiRequest& r) { return (r.sense[0] & 0x70) ? (r.sense[2] & 0x0F) : -1; }

}  // namespace

TEST(ClockTest, ManualClockMovesOnlyWhenAdvanced) {
  Clock clock;
  uint64_t tick0 = clock.TickMs();
  clock.SetManual(true, 1'700'000'000'000);
  EXPECT_EQ(clock.NowMs(), 1'700'000'000'000);
  SleepMs(20);
  EXPECT_EQ(clock.NowMs(), 1'700'000'000'000);
  uint64_t tick1 = clock.TickMs();
  EXPECT_GE(tick1, tick0);
  clock.Advance(1500);
  EXPECT_EQ(clock.NowMs(), 1'700'000'001'500);
  EXPECT_EQ(clock.TickMs(), tick1 + 1500);
  clock.Advance(-10);  // never backwards
  EXPECT_EQ(clock.NowMs(), 1'700'000'001'500);
  clock.SetManual(false, 0);
  EXPECT_GT(clock.NowMs(), 1'600'000'000'000);
}

TEST(ClockTest, SleepHookTakesTheSleepsInstead) {
  static std::atomic<uint64_t> asked{0};
  SetSleepHook([](uint32_t ms) { asked += ms; });
  const auto t0 = std::chrono::steady_clock::now();
  SleepMs(5000);
  SleepMs(7);
  SetSleepHook(nullptr);
  const auto hooked = std::chrono::steady_clock::now() - t0;
  EXPECT_EQ(asked, 5007u);
  EXPECT_LT(hooked, std::chrono::seconds(1));  // not slept
  SleepMs(20);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(20));
  EXPECT_EQ(asked, 5007u);  // real sleeps again
}

TEST(LastErrorTest, ErrnoMapsToTheSystemNumbers) {
  EXPECT_EQ(OsErrorFromErrno(EBADF), kOsInvalidHandle);
  EXPECT_EQ(OsErrorFromErrno(ENODEV), kOsInvalidHandle);
  EXPECT_EQ(OsErrorFromErrno(ENXIO), kOsInvalidHandle);
  EXPECT_EQ(OsErrorFromErrno(ENOENT), kOsInvalidHandle);
  EXPECT_EQ(OsErrorFromErrno(EOVERFLOW), kOsArithmeticOverflow);
  EXPECT_EQ(OsErrorFromErrno(EIO), kOsGeneralFailure);
  SetLastOsErrorFromErrno(EACCES);
  EXPECT_EQ(GetLastOsError(), kOsGeneralFailure);
  EXPECT_EQ(OsErrorText(GetLastOsError()), std::strerror(EACCES));  // the real cause is kept
  SetLastOsError(kOsArithmeticOverflow);
  EXPECT_EQ(OsErrorText(kOsArithmeticOverflow), "Arithmetic result exceeded 32 bits.");
}

TEST(DriveNameTest, NamesWithAndWithoutPrefix) {
  EXPECT_EQ(DriveName(3), "\\\\.\\PhysicalDrive3");
  EXPECT_EQ(DriveNumberOf("\\\\.\\PhysicalDrive3"), 3);
  EXPECT_EQ(DriveNumberOf("PhysicalDrive15"), 15);
  EXPECT_EQ(DriveNumberOf("\\\\.\\PhysicalDrive16"), -1);
  EXPECT_EQ(DriveNumberOf("\\\\.\\\\\\.\\PhysicalDrive1"), -1);  // prefix given twice
  EXPECT_EQ(DriveNumberOf("\\\\.\\PhysicalDrive"), -1);
  EXPECT_EQ(DriveNumberOf("\\\\.\\PhysicalDrive1x"), -1);
  EXPECT_EQ(DriveNumberOf("/dev/sda"), -1);
}

class DriveTableTest : public LibraryTest {};

TEST_F(DriveTableTest, ImagesTakeNumbersInOrderAndDetachFreesThem) {
  std::string a = tmp_.File("a.img"), b = tmp_.File("b.img");
  testsupport::MakeSparseFile(a, 1 << 20);
  testsupport::MakeSparseFile(b, 1 << 20);
  EXPECT_EQ(QVFS_AttachImage(a.c_str(), 0, 0), 0);
  EXPECT_EQ(QVFS_AttachImage(b.c_str(), 1, 4096), 1);
  QVFS_DriveInfo info;
  ASSERT_EQ(QVFS_GetDriveInfo(1, &info), 0);
  EXPECT_STREQ(info.name, "\\\\.\\PhysicalDrive1");
  EXPECT_EQ(info.sectorSize, 4096u);
  EXPECT_EQ(info.capacity, (1u << 20) / 4096 - 1);
  EXPECT_EQ(info.readOnly, 1);
  EXPECT_EQ(info.openError, 0);
  EXPECT_EQ(QVFS_GetDriveInfo(2, &info), -1);
  QVFS_DetachAll();
  EXPECT_EQ(QVFS_GetDriveInfo(0, &info), -1);
  EXPECT_EQ(QVFS_AttachImage(b.c_str(), 0, 0), 0);
}

TEST_F(DriveTableTest, BadAttachArgumentsAreRefused) {
  std::string a = tmp_.File("a.img");
  testsupport::MakeSparseFile(a, 1 << 20);
  EXPECT_EQ(QVFS_AttachImage(nullptr, 0, 0), -1);
  EXPECT_EQ(QVFS_AttachImage("", 0, 0), -1);
  EXPECT_EQ(QVFS_AttachImage(a.c_str(), 0, 1000), -1);  // not a power of two
  EXPECT_EQ(QVFS_AttachImage(a.c_str(), 0, 256), -1);
  EXPECT_EQ(QVFS_AttachImage(tmp_.File("missing.img").c_str(), 0, 0), -2);
  for (int i = 0; i < kMaxDrives; ++i) ASSERT_EQ(QVFS_AttachImage(a.c_str(), 0, 0), i);
  EXPECT_EQ(QVFS_AttachImage(a.c_str(), 0, 0), -3);
}

TEST_F(DriveTableTest, UnknownNamesDoNotOpen) {
  EXPECT_EQ(Drives().Open("\\\\.\\PhysicalDrive7"), nullptr);
  EXPECT_EQ(GetLastOsError(), kOsInvalidHandle);
}

TEST(EmulatingTransportTest, AnswersCapacityReadsWritesAndRangeErrors) {
  testsupport::TempDir tmp;
  std::string path = tmp.File("e.img");
  testsupport::MakeSparseFile(path, 4096 * 16);
  EmulationParams p;
  p.fd = ::open(path.c_str(), O_RDWR);
  p.sectorSize = 4096;
  p.vendor = "IMAGE";
  p.product = "e.img";
  EmulatingTransport t(p);

  uint8_t cap[8];
  ScsiRequest rc = ReadCapacity10(cap);
  ASSERT_TRUE(t.Execute(rc));
  EXPECT_EQ(SenseKeyOf(rc), -1);
  EXPECT_EQ(GetBe(cap, 4), 15u);
  EXPECT_EQ(GetBe(cap + 4, 4), 4096u);

  auto data = testsupport::Pattern(8192, 1);
  ScsiRequest w = ReadWrite10(true, 14, 2, data.data(), 8192);
  ASSERT_TRUE(t.Execute(w));
  EXPECT_EQ(SenseKeyOf(w), -1);
  EXPECT_EQ(testsupport::ReadFileBytes(path, 14 * 4096, 8192), data);

  ScsiRequest past = ReadWrite10(false, 15, 2, data.data(), 8192);  // one block past the end
  ASSERT_TRUE(t.Execute(past));
  EXPECT_EQ(SenseKeyOf(past), kSkIllegalRequest);
  EXPECT_EQ(past.sense[12], 0x21);

  ScsiRequest shortBuf = ReadWrite10(false, 0, 2, data.data(), 4096);  // buffer too small
  ASSERT_TRUE(t.Execute(shortBuf));
  EXPECT_EQ(SenseKeyOf(shortBuf), kSkIllegalRequest);

  ScsiRequest unknown;
  unknown.cdb[0] = 0xA3;
  unknown.cdbLength = 12;
  ASSERT_TRUE(t.Execute(unknown));
  EXPECT_EQ(SenseKeyOf(unknown), kSkIllegalRequest);
  EXPECT_EQ(unknown.sense[12], 0x20);

  // The image changes size while attached. Grown: the new blocks are read at once. Shrunk: a
  // read past the new end is out of range, not a medium error, and a write there does not
  // grow the image back.
  ASSERT_EQ(::truncate(path.c_str(), 4096 * 20), 0);
  ScsiRequest grown = ReadWrite10(false, 18, 2, data.data(), 8192);
  ASSERT_TRUE(t.Execute(grown));
  EXPECT_EQ(SenseKeyOf(grown), -1);
  ASSERT_EQ(::truncate(path.c_str(), 4096 * 8), 0);
  ScsiRequest shrunk = ReadWrite10(false, 7, 2, data.data(), 8192);
  ASSERT_TRUE(t.Execute(shrunk));
  EXPECT_EQ(SenseKeyOf(shrunk), kSkIllegalRequest);
  EXPECT_EQ(shrunk.sense[12], 0x21);
  ScsiRequest writePast = ReadWrite10(true, 9, 1, data.data(), 4096);
  ASSERT_TRUE(t.Execute(writePast));
  EXPECT_EQ(SenseKeyOf(writePast), kSkIllegalRequest);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 4096 * 8);
}

TEST(EmulatingTransportTest, ReadOnlyImageRefusesWritesAndStaysUnchanged) {
  testsupport::TempDir tmp;
  std::string path = tmp.File("ro.img");
  testsupport::MakeSparseFile(path, 512 * 8);
  EmulationParams p;
  p.fd = ::open(path.c_str(), O_RDONLY);
  p.readOnly = true;
  EmulatingTransport t(p);
  auto data = testsupport::Pattern(512, 2);
  ScsiRequest w = ReadWrite10(true, 1, 1, data.data(), 512);
  ASSERT_TRUE(t.Execute(w));
  EXPECT_EQ(SenseKeyOf(w), kSkDataProtect);
  EXPECT_EQ(w.sense[12], 0x27);
  EXPECT_EQ(testsupport::ReadFileBytes(path, 512, 512), std::vector<uint8_t>(512, 0));
}

// ---- SG_IO through a substitute ioctl ----

namespace {
struct SgCapture {
  int calls = 0;
  sg_io_hdr_t last{};
  uint8_t cdb[16]{};
  int failErrno = 0;        // the ioctl fails with this errno
  bool checkCondition = false;
} g_sg;

int FakeSgIoctl(int, unsigned long request, void* arg) {
  if (request == SG_GET_VERSION_NUM) {
    *static_cast<int*>(arg) = 30527;
    return 0;
  }
  if (request != SG_IO) {
    errno = EINVAL;
    return -1;
  }
  auto* h = static_cast<sg_io_hdr_t*>(arg);
  ++g_sg.calls;
  g_sg.last = *h;
  std::memcpy(g_sg.cdb, h->cmdp, h->cmd_len);
  if (g_sg.failErrno) {
    errno = g_sg.failErrno;
    return -1;
  }
  if (g_sg.checkCondition) {
    h->status = 0x02;
    h->masked_status = 0x01;
    h->info = SG_INFO_CHECK;
    SetFixedSense(h->sbp, kSkNotReady, 0x04, 0x07);
    SetSenseProgress(h->sbp, 0x4000);
    h->sb_len_wr = 18;
    return 0;
  }
  h->status = 0;
  h->info = SG_INFO_OK;
  if (h->dxfer_direction == SG_DXFER_FROM_DEV)
    std::memset(h->dxferp, 0xAB, h->dxfer_len);
  return 0;
}

struct SgIoctlSwap {
  SgIoctlSwap() {
    g_sg = SgCapture{};
    prev = SetSgIoctl(&FakeSgIoctl);
  }
  ~SgIoctlSwap() { SetSgIoctl(prev); }
  IoctlFn prev;
};
}  // namespace

TEST(SgIoTransportTest, BuildsTheHeaderFromTheRequest) {
  SgIoctlSwap swap;
  int fd = ::open("/dev/null", O_RDWR);
  ASSERT_TRUE(AnswersSgIo(fd));
  SgIoTransport t(fd);
  uint8_t buf[1024];
  ScsiRequest r = ReadWrite10(false, 0x01020304, 2, buf, sizeof buf);
  r.timeoutSec = 30;
  ASSERT_TRUE(t.Execute(r));
  EXPECT_EQ(g_sg.calls, 1);
  EXPECT_EQ(g_sg.last.interface_id, 'S');
  EXPECT_EQ(g_sg.last.cmd_len, 10);
  EXPECT_EQ(g_sg.last.dxfer_direction, SG_DXFER_FROM_DEV);
  EXPECT_EQ(g_sg.last.dxfer_len, 1024u);
  EXPECT_EQ(g_sg.last.timeout, 30000u);
  EXPECT_GE(g_sg.last.mx_sb_len, 18);  // room for the progress bytes of fixed sense
  EXPECT_EQ(GetBe(g_sg.cdb + 2, 4), 0x01020304u);
  EXPECT_EQ(buf[0], 0xAB);
  EXPECT_EQ(r.sense[0] & 0x70, 0);

  ScsiRequest none;
  none.cdbLength = 6;  // TEST UNIT READY
  ASSERT_TRUE(t.Execute(none));
  EXPECT_EQ(g_sg.last.dxfer_direction, SG_DXFER_NONE);
}

TEST(SgIoTransportTest, CheckConditionKeepsTheSenseAndOsFailuresMapErrno) {
  SgIoctlSwap swap;
  SgIoTransport t(::open("/dev/null", O_RDWR));
  g_sg.checkCondition = true;
  ScsiRequest r;
  r.cdbLength = 6;
  ASSERT_TRUE(t.Execute(r));
  EXPECT_EQ(r.sense[2] & 0x0F, kSkNotReady);
  EXPECT_EQ(GetBe(r.sense + 16, 2), 0x4000u);

  g_sg.checkCondition = false;
  g_sg.failErrno = ENODEV;  // the device went away
  ScsiRequest gone;
  gone.cdbLength = 6;
  EXPECT_FALSE(t.Execute(gone));
  EXPECT_EQ(GetLastOsError(), kOsInvalidHandle);
}

TEST(SgIoTransportTest, AnswersSgIoAsksForTheSgVersion) {
  // A character device stands in: what decides is the SG answer, checked through the seam.
  SgIoctlSwap swap;
  EXPECT_TRUE(AnswersSgIo(0));
  SetSgIoctl(nullptr);
  int fd = ::open("/dev/null", O_RDWR);
  EXPECT_FALSE(AnswersSgIo(fd));  // /dev/null does not speak SG
  ::close(fd);
}

TEST(FaultTransportTest, PowerCutDropsLaterWritesAndTearsTheLastOne) {
  testsupport::TempDir tmp;
  std::string path = tmp.File("p.img");
  testsupport::MakeSparseFile(path, 512 * 64);
  EmulationParams p;
  p.fd = ::open(path.c_str(), O_RDWR);
  auto plan = std::make_shared<FaultPlan>();
  FaultTransport t(std::make_unique<EmulatingTransport>(p), plan);
  plan->CutPowerAfterWrites(2, 1);  // the 2nd write keeps one sector, later ones are lost
  auto a = testsupport::Pattern(2048, 3);
  ScsiRequest w1 = ReadWrite10(true, 0, 4, a.data(), 2048);
  ScsiRequest w2 = ReadWrite10(true, 8, 4, a.data(), 2048);
  ScsiRequest w3 = ReadWrite10(true, 16, 4, a.data(), 2048);
  ASSERT_TRUE(t.Execute(w1));
  ASSERT_TRUE(t.Execute(w2));
  ASSERT_TRUE(t.Execute(w3));
  EXPECT_EQ(testsupport::ReadFileBytes(path, 0, 2048), a);
  EXPECT_EQ(testsupport::ReadFileBytes(path, 8 * 512, 512),
            std::vector<uint8_t>(a.begin(), a.begin() + 512));
  EXPECT_EQ(testsupport::ReadFileBytes(path, 9 * 512, 512), std::vector<uint8_t>(512, 0));
  EXPECT_EQ(testsupport::ReadFileBytes(path, 16 * 512, 2048), std::vector<uint8_t>(2048, 0));
  EXPECT_EQ(plan->Count(kOpWrite10), 3);
}
