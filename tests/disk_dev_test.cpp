// CDisk_Dev over images, with the fault-injecting transport between it and the image.
#include "device/disk_dev.h"
#include "device/sense_text.h"

#include <cstring>

#include "platform/last_error.h"
#include "platform/platform_context.h"
#include "test_support.h"

using namespace platform;
using testsupport::LibraryTest;
using testsupport::Pattern;
using testsupport::ReadFileBytes;

namespace {

FaultRule SenseRule(std::vector<uint8_t> ops, uint8_t key, uint8_t asc, uint8_t ascq,
                    int times = -1) {
  FaultRule r;
  r.opcodes = std::move(ops);
  r.key = key;
  r.asc = asc;
  r.ascq = ascq;
  r.times = times;
  return r;
}

FaultRule OsErrorRule(std::vector<uint8_t> ops, int err, int times = -1) {
  FaultRule r;
  r.action = FaultRule::Action::kOsError;
  r.opcodes = std::move(ops);
  r.osError = err;
  r.times = times;
  return r;
}

class DiskDevTest : public LibraryTest {
 protected:
  // Opens a device over a fresh image and clears the command log.
  CDisk_Dev& OpenDisk(uint64_t bytes, uint32_t sectorSize = 512, bool readOnly = false) {
    name_ = AttachImage(bytes, sectorSize, readOnly);
    EXPECT_GE(dev_.associate(name_.c_str(), false), 0);
    faults_->ClearLog();
    return dev_;
  }
  std::vector<CommandRecord> DataCommands() {
    std::vector<CommandRecord> out;
    for (const CommandRecord& c : faults_->Log())
      if (c.opcode == kOpRead10 || c.opcode == kOpWrite10 || c.opcode == kOpRead16 ||
          c.opcode == kOpWrite16)
        out.push_back(c);
    return out;
  }

  std::string name_;
  CDisk_Dev dev_;
};

}  // namespace

TEST_F(DiskDevTest, NewObjectIsClosedWithDefaults) {
  CDisk_Dev d;
  EXPECT_TRUE(d.is_closed());
  EXPECT_EQ(d.get_sec_size(), 512u);
  EXPECT_EQ(d.GetMaxTransCnt(), 128);
  EXPECT_EQ(d.get_capacity(), 0u);
  EXPECT_FALSE(d.is_bigger_2TB());
  EXPECT_EQ(d.associate("\\\\.\\PhysicalDrive9", false), -1);  // nothing behind it
  EXPECT_TRUE(d.is_closed());
}

TEST_F(DiskDevTest, AssociateReadsCapacityAndProbesTransferSize) {
  CDisk_Dev& d = OpenDisk(64 << 20);
  EXPECT_FALSE(d.is_closed());
  EXPECT_EQ(d.get_capacity(), (64u << 20) / 512 - 1);  // the last LBA, not the count
  EXPECT_EQ(d.get_sec_size(), 512u);
  EXPECT_EQ(d.GetMaxTransCnt(), 1024);
  EXPECT_EQ(d.get_capacity_MB(), 63u);  // (last LBA x 512) >> 20: one sector short of 64
  EXPECT_EQ(d.get_capacity_gB(), 0u);
  EXPECT_EQ(d.get_dev_no(), '0');
  EXPECT_STREQ(d.get_device_name(), name_.c_str());
}

TEST_F(DiskDevTest, NamesResolveWithoutDoublingThePrefix) {
  AttachImage(8 << 20);
  CDisk_Dev bare, prefixed;
  EXPECT_GE(bare.associate("PhysicalDrive0", false), 0);
  EXPECT_GE(prefixed.associate("\\\\.\\PhysicalDrive0", false), 0);
  EXPECT_EQ(bare.get_capacity(), prefixed.get_capacity());
  CDisk_Dev byPath;
  EXPECT_GE(byPath.associate(imagePath_.c_str(), false), 0);
}

TEST_F(DiskDevTest, FourKSectorsAreUsedForAllArithmetic) {
  CDisk_Dev& d = OpenDisk(16 << 20, 4096);
  EXPECT_EQ(d.get_sec_size(), 4096u);
  EXPECT_EQ(d.get_capacity(), 4095u);
  EXPECT_EQ(d.GetMaxTransCnt(), 128);  // 1024 and 256 blocks of 4 KiB exceed the probe buffer
  auto data = Pattern(4096 * 3 + 100, 7);
  ASSERT_EQ(d.Write(10, data.data(), data.size(), true), 0);
  EXPECT_EQ(ReadFileBytes(imagePath_, 10 * 4096, data.size()), data);
  std::vector<uint8_t> back(data.size());
  ASSERT_EQ(d.Read(10, back.data(), back.size(), true), 0);
  EXPECT_EQ(back, data);
}

TEST_F(DiskDevTest, LastLbaFFFFFFFFSwitchesToSixteenByteCommands) {
  faults_->OverrideCapacity(0xFFFFFFFFull, 512);
  CDisk_Dev& d = OpenDisk(8 << 20);
  EXPECT_TRUE(d.is_bigger_2TB());
  EXPECT_EQ(d.get_capacity(), 0xFFFFFFFFull);
  faults_->ClearLog();
  uint8_t buf[512];
  EXPECT_EQ(d.Read(3, buf, 512, true), 0);
  EXPECT_EQ(faults_->Count(kOpRead16), 1);
  EXPECT_EQ(faults_->Count(kOpRead10), 0);
}

TEST_F(DiskDevTest, LastLbaFFFFFFFEStaysOnTenByteCommands) {
  faults_->OverrideCapacity(0xFFFFFFFEull, 512);
  CDisk_Dev& d = OpenDisk(8 << 20);
  EXPECT_FALSE(d.is_bigger_2TB());
  EXPECT_EQ(faults_->Count(kOpServiceActionIn16), 0);
  uint8_t buf[512];
  EXPECT_EQ(d.Read(3, buf, 512, true), 0);
  EXPECT_EQ(faults_->Count(kOpRead10), 1);
}

TEST_F(DiskDevTest, CapacityFailureKeepsOldValuesAndReportsTheSenseText) {
  CDisk_Dev& d = OpenDisk(8 << 20);
  faults_->AddRule(SenseRule({kOpReadCapacity10}, kSkNotReady, 0x3A, 0x00));
  TakeMessages();
  EXPECT_EQ(d.ReadCapacity(), 0u);
  EXPECT_EQ(d.get_capacity(), (8u << 20) / 512 - 1);
  EXPECT_TRUE(Printed(":-[ Read Capacity 10 failed with SK=2h/MEDIUM NOT PRESENT]: "));
  EXPECT_EQ(d.get_last_err(), 0x23A00);
  faults_->ClearRules();
  faults_->AddRule(SenseRule({kOpReadCapacity10}, kSkHardwareError, 0x99, 0x01));
  TakeMessages();
  d.ReadCapacity();
  EXPECT_TRUE(Printed(":-[ Read Capacity 10 failed with SK=4h/ASC=99h/ACQ=01h]: "));
}

TEST_F(DiskDevTest, ImpossibleSectorSizeIsAFailedCapacityRead) {
  CDisk_Dev& d = OpenDisk(8 << 20);
  faults_->OverrideCapacity(100, 0x40000000);
  EXPECT_EQ(d.ReadCapacity(), 0u);
  EXPECT_EQ(d.get_sec_size(), 512u);
  EXPECT_EQ(d.get_capacity(), (8u << 20) / 512 - 1);
  faults_->OverrideCapacity(100, 1000);
  EXPECT_EQ(d.ReadCapacity(), 0u);
  EXPECT_EQ(d.get_sec_size(), 512u);
}

TEST_F(DiskDevTest, PartialSectorsAreBouncedAndPatched) {
  CDisk_Dev& d = OpenDisk(8 << 20);
  auto before = Pattern(512, 1);
  testsupport::WriteFileBytes(imagePath_, 5 * 512, before.data(), 512);

  uint8_t one = 0;
  ASSERT_EQ(d.Read(5, &one, 1, true), 0);
  EXPECT_EQ(one, before[0]);
  auto reads = DataCommands();
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(reads[0].blocks, 1u);

  faults_->ClearLog();
  uint8_t x = 0x5A;
  ASSERT_EQ(d.Write(5, &x, 1, true), 0);
  auto rmw = DataCommands();
  ASSERT_EQ(rmw.size(), 2u);  // read the sector, write it back
  EXPECT_EQ(rmw[0].opcode, kOpRead10);
  EXPECT_EQ(rmw[1].opcode, kOpWrite10);
  auto after = ReadFileBytes(imagePath_, 5 * 512, 512);
  EXPECT_EQ(after[0], 0x5A);
  EXPECT_TRUE(std::equal(after.begin() + 1, after.end(), before.begin() + 1));
}

TEST_F(DiskDevTest, RunPlusSectorPlusTailIsThreeCommands) {
  CDisk_Dev& d = OpenDisk(1 << 20);  // too small for the probe: 128-block runs
  ASSERT_EQ(d.GetMaxTransCnt(), 128);
  const size_t bytes = 128 * 512 + 512 + 10;
  auto data = Pattern(bytes + 502, 9);
  testsupport::WriteFileBytes(imagePath_, 100 * 512, data.data(), data.size());
  std::vector<uint8_t> back(bytes, 0xEE);
  ASSERT_EQ(d.Read(100, back.data(), bytes, true), 0);
  EXPECT_TRUE(std::equal(back.begin(), back.end(), data.begin()));
  auto cmds = DataCommands();
  ASSERT_EQ(cmds.size(), 3u);
  EXPECT_EQ(cmds[0].lba, 100u);
  EXPECT_EQ(cmds[0].blocks, 128u);
  EXPECT_EQ(cmds[1].lba, 228u);
  EXPECT_EQ(cmds[1].blocks, 1u);
  EXPECT_EQ(cmds[2].lba, 229u);
  EXPECT_EQ(cmds[2].blocks, 1u);
  EXPECT_EQ(d.Read(0, back.data(), 0, true), 0);  // nothing asked, nothing sent
  EXPECT_EQ(DataCommands().size(), 3u);
}

TEST_F(DiskDevTest, MediumAndHardwareErrorsAreNotRetried) {
  CDisk_Dev& d = OpenDisk(8 << 20);
  faults_->AddRule(SenseRule({kOpRead10}, kSkMediumError, 0x11, 0x00));
  uint8_t buf[512];
  EXPECT_EQ(d.Read_try(7, 1, buf, 512), 3);
  EXPECT_EQ(faults_->Count(kOpRead10), 1);
  EXPECT_EQ(d.get_last_err(), 0x31100);
  EXPECT_EQ(d.Read(7, buf, 512, true), DEV_READ_FAILED);
  faults_->ClearRules();
  faults_->ClearLog();
  faults_->AddRule(SenseRule({kOpWrite10}, kSkHardwareError, 0x44, 0x00));
  EXPECT_EQ(d.Write_try(7, 1, buf, 512), 4);
  EXPECT_EQ(faults_->Count(kOpWrite10), 1);
}

TEST_F(DiskDevTest, OtherFailuresAreRetriedOnceThenReported) {
  CDisk_Dev& d = OpenDisk(8 << 20);
  faults_->AddRule(SenseRule({kOpRead10}, kSkUnitAttention, 0x29, 0x00, 1));
  uint8_t buf[512];
  EXPECT_EQ(d.Read_try(7, 1, buf, 512), 0);  // the retry succeeds
  EXPECT_EQ(faults_->Count(kOpRead10), 2);
  faults_->AddRule(SenseRule({kOpRead10}, kSkNotReady, 0x04, 0x01));
  EXPECT_EQ(d.Read_try(7, 1, buf, 512), DEV_READ_FAILED);
  EXPECT_EQ(d.get_last_err(), kOsNotReady);  // the OS error refined from ASC 04h
  faults_->AddRule(SenseRule({kOpWrite10}, kSkUnitAttention, 0x29, 0x00));
  faults_->ClearLog();
  EXPECT_EQ(d.Write_try(7, 1, buf, 512), DEV_WRITE_FAILED);
  EXPECT_EQ(faults_->Count(kOpWrite10), 2);
}

TEST_F(DiskDevTest, WriteTenOverflowIsResentAsWriteSixteenInTheSameAttempt) {
  CDisk_Dev& d = OpenDisk(8 << 20);
  faults_->AddRule(OsErrorRule({kOpWrite10}, kOsArithmeticOverflow));
  auto data = Pattern(512, 4);
  EXPECT_EQ(d.Write_try(9, 1, data.data(), 512), 0);
  auto cmds = DataCommands();
  ASSERT_EQ(cmds.size(), 2u);
  EXPECT_EQ(cmds[0].opcode, kOpWrite10);
  EXPECT_EQ(cmds[1].opcode, kOpWrite16);
  EXPECT_EQ(cmds[1].lba, 9u);
  EXPECT_EQ(ReadFileBytes(imagePath_, 9 * 512, 512), data);
  // Reads have no such fallback.
  faults_->AddRule(OsErrorRule({kOpRead10}, kOsArithmeticOverflow));
  EXPECT_EQ(d.Read_try(9, 1, data.data(), 512), DEV_READ_FAILED);
  EXPECT_EQ(faults_->Count(kOpRead16), 0);
}

TEST_F(DiskDevTest, TenByteCommandsNeverTruncateALargeLba) {
  CDisk_Dev& d = OpenDisk(8 << 20);
  uint8_t buf[512] = {};
  // LBA 2^32 + 5 would land on LBA 5 if cut to 32 bits.
  EXPECT_EQ(d.Write_try(0x100000005ull, 1, buf, 512), DEV_WRITE_FAILED);
  for (const CommandRecord& c : DataCommands()) EXPECT_NE(c.opcode, kOpWrite10);
  EXPECT_EQ(ReadFileBytes(imagePath_, 5 * 512, 512), std::vector<uint8_t>(512, 0));
  // Nor do the 16-byte commands cut an LBA past their 40 bits, and no sum wraps.
  EXPECT_EQ(d.write_16((1ull << 40) + 5, 1, buf, 512), 534);
  EXPECT_EQ(d.Write_try(UINT64_MAX - 1, 4, buf, 512), DEV_WRITE_FAILED);
  EXPECT_EQ(ReadFileBytes(imagePath_, 5 * 512, 512), std::vector<uint8_t>(512, 0));
}

TEST_F(DiskDevTest, LostHandleIsHealedByReopening) {
  CDisk_Dev& d = OpenDisk(8 << 20);
  int before = d.get_handle();
  faults_->AddRule(OsErrorRule({kOpRead10}, kOsInvalidHandle, 1));
  auto data = Pattern(512, 5);
  testsupport::WriteFileBytes(imagePath_, 3 * 512, data.data(), 512);
  std::vector<uint8_t> back(512);
  EXPECT_EQ(d.Read_try(3, 1, back.data(), 512), 0);  // the retry runs on the new handle
  EXPECT_EQ(back, data);
  EXPECT_FALSE(d.is_closed());
  EXPECT_GE(d.get_handle(), 0);
  (void)before;
  EXPECT_EQ(faults_->Count(kOpRead10), 2);
}

TEST_F(DiskDevTest, CloseAndOpenByName) {
  CDisk_Dev& d = OpenDisk(8 << 20);
  d.Close();
  EXPECT_TRUE(d.is_closed());
  d.Close();  // twice is harmless
  EXPECT_GE(d.Open(), 0);
  uint8_t b[512];
  EXPECT_EQ(d.Read(1, b, 512, true), 0);
}

TEST_F(DiskDevTest, ReadOnlyDriveRefusesEveryWrite) {
  std::string name = AttachImage(8 << 20, 512, true);
  auto content = Pattern(4096, 6);
  testsupport::WriteFileBytes(imagePath_, 0, content.data(), content.size());
  CDisk_Dev d;
  ASSERT_GE(d.associate(name.c_str(), false), 0);
  uint8_t x = 1;
  EXPECT_EQ(d.Write(2, &x, 1, true), DEV_WRITE_FAILED);
  EXPECT_EQ(d.Write(0, content.data(), 4096, true), DEV_WRITE_FAILED);
  EXPECT_EQ(d.write_10(1, 1, content.data(), 512), kSkDataProtect);
  EXPECT_EQ(d.get_last_err(), 0x72700);
  EXPECT_EQ(ReadFileBytes(imagePath_, 0, 4096), content);
}

TEST_F(DiskDevTest, FlushCacheHandlesUnsupportedAndFailingDevices) {
  CDisk_Dev& d = OpenDisk(8 << 20);
  EXPECT_TRUE(d.FlushCache());
  faults_->AddRule(SenseRule({kOpSynchronizeCache10}, kSkIllegalRequest, 0x20, 0x00, 1));
  TakeMessages();
  EXPECT_FALSE(d.FlushCache());
  EXPECT_TRUE(TakeMessages().empty());  // silently
  faults_->AddRule(SenseRule({kOpSynchronizeCache10}, kSkMediumError, 0x0C, 0x00, 1));
  EXPECT_FALSE(d.FlushCache());
  EXPECT_TRUE(Printed("Flusu error.err 199680 ret 3 \n"));
}

TEST_F(DiskDevTest, WaitForUnitFollowsProgressUntilReady) {
  CDisk_Dev& d = OpenDisk(8 << 20);
  FaultRule notReady = SenseRule({kOpTestUnitReady}, kSkNotReady, 0x04, 0x07, 1);
  notReady.progress = 0x8000;
  faults_->AddRule(notReady);
  uint16_t progress = 0;
  EXPECT_EQ(d.wait_for_unit(&progress), 0);
  EXPECT_EQ(progress, 0x8000);
  EXPECT_EQ(faults_->Count(kOpTestUnitReady), 2);

  faults_->AddRule(SenseRule({kOpTestUnitReady}, kSkNotReady, 0x3A, 0x00, 1));
  EXPECT_EQ(d.wait_for_unit(&progress), kSkNotReady);  // no medium: given up at once
}

TEST_F(DiskDevTest, StartStopRepeatsWhileInProgress) {
  CDisk_Dev& d = OpenDisk(8 << 20);
  FaultRule busy = SenseRule({kOpStartStopUnit}, kSkNotReady, 0x04, 0x07, 2);
  busy.progress = 0x1234;
  faults_->AddRule(busy);
  uint16_t progress = 0;
  EXPECT_EQ(d.pioneer_stop(&progress), 0);
  EXPECT_EQ(progress, 0x1234);
  EXPECT_EQ(faults_->Count(kOpStartStopUnit), 3);
  faults_->AddRule(SenseRule({kOpStartStopUnit}, kSkIllegalRequest, 0x24, 0x00, 1));
  EXPECT_EQ(d.pioneer_start(), kSkIllegalRequest);
}

TEST_F(DiskDevTest, DeviceTextIsVendorAndProductTrimmed) {
  CDisk_Dev& d = OpenDisk(8 << 20);
  char text[32];
  std::memset(text, 'x', sizeof text);
  ASSERT_EQ(d.GetDeviceText(text, sizeof text), 0);
  EXPECT_STREQ(text, "IMAGE    disk.img");
  faults_->AddRule(SenseRule({kOpInquiry}, kSkHardwareError, 0x44, 0x00));
  EXPECT_EQ(d.GetDeviceText(text, sizeof text), kSkHardwareError);
}

TEST_F(DiskDevTest, DetectMaxTransferSettlesOnWhatTheDeviceTakes) {
  CDisk_Dev& d = OpenDisk(64 << 20);
  std::vector<uint8_t> probe(128 * 1024);
  FaultRule big = SenseRule({kOpRead10}, kSkIllegalRequest, 0x24, 0x00, 2);  // 256 and 128 fail
  faults_->AddRule(big);
  EXPECT_EQ(d.DetectMaxTransferBlk(probe.data(), probe.size()), 0);
  EXPECT_EQ(d.GetMaxTransCnt(), 64);
  faults_->AddRule(SenseRule({kOpRead10}, kSkMediumError, 0x11, 0x00, 1));
  EXPECT_EQ(d.DetectMaxTransferBlk(probe.data(), probe.size()), 0);
  EXPECT_EQ(d.GetMaxTransCnt(), 64);  // a medium error settles on the safe 64 blocks
  CDisk_Dev closed;
  EXPECT_EQ(closed.DetectMaxTransferBlk(probe.data(), probe.size()), -1);  // no capacity
}

// ---- sense data of both formats ----------------------------------------------------------

namespace {

// Answers the next `times` commands with one opcode with raw sense bytes (any format, any
// length) instead of passing them on.
struct RawSense {
  uint8_t opcode = 0;
  std::vector<uint8_t> sense;
  int times = 0;
};

class RawSenseTransport : public ScsiTransport {
 public:
  RawSenseTransport(std::unique_ptr<ScsiTransport> inner, std::shared_ptr<RawSense> plan)
      : inner_(std::move(inner)), plan_(std::move(plan)) {}
  bool Execute(ScsiRequest& req) override {
    if (plan_->times == 0 || req.cdb[0] != plan_->opcode) return inner_->Execute(req);
    --plan_->times;
    std::memset(req.sense, 0, sizeof req.sense);
    std::memcpy(req.sense, plan_->sense.data(), std::min(plan_->sense.size(), sizeof req.sense));
    return true;
  }
  int Handle() const override { return inner_->Handle(); }

 private:
  std::unique_ptr<ScsiTransport> inner_;
  std::shared_ptr<RawSense> plan_;
};

// Descriptor-format sense: the header, then the descriptors.
std::vector<uint8_t> Descriptor(uint8_t code, uint8_t key, uint8_t asc, uint8_t ascq,
                                std::vector<uint8_t> descriptors = {}) {
  std::vector<uint8_t> s = {code, key, asc, ascq, 0, 0, 0,
                            static_cast<uint8_t>(descriptors.size())};
  s.insert(s.end(), descriptors.begin(), descriptors.end());
  return s;
}

// The sense-key-specific descriptor with a progress indication.
std::vector<uint8_t> ProgressDescriptor(uint16_t progress) {
  return {0x02, 0x06, 0, 0, 0x80, static_cast<uint8_t>(progress >> 8),
          static_cast<uint8_t>(progress), 0};
}

}  // namespace

TEST_F(DiskDevTest, DescriptorSenseIsReadAtItsOwnOffsets) {
  auto raw = std::make_shared<RawSense>();
  auto faults = faults_;
  ctx_->get().platform().drives.SetDecorator(
      [faults, raw](int, std::unique_ptr<ScsiTransport> t) -> std::unique_ptr<ScsiTransport> {
        return std::make_unique<RawSenseTransport>(
            std::make_unique<FaultTransport>(std::move(t), faults), raw);
      });
  CDisk_Dev& d = OpenDisk(8 << 20);
  for (uint8_t code : {0x72, 0x73}) {
    *raw = {kOpReadCapacity10, Descriptor(code, kSkNotReady, 0x3A, 0x00), 1};
    TakeMessages();
    EXPECT_EQ(d.ReadCapacity(), 0u);
    EXPECT_EQ(d.get_last_err(), 0x23A00);
    EXPECT_EQ(d.get_sense_key(), kSkNotReady);
    EXPECT_TRUE(Printed(":-[ Read Capacity 10 failed with SK=2h/MEDIUM NOT PRESENT]: "));
  }
  // A medium error is not retried: one command, its code kept.
  *raw = {kOpRead10, Descriptor(0x72, kSkMediumError, 0x11, 0x00), 2};
  uint8_t buf[512];
  EXPECT_EQ(d.Read(3, buf, 512, true), DEV_READ_FAILED);
  EXPECT_EQ(raw->times, 1);
  EXPECT_EQ(d.get_last_err(), 0x31100);
  // No medium: the wait ends at once.
  *raw = {kOpTestUnitReady, Descriptor(0x72, kSkNotReady, 0x3A, 0x00), 1};
  uint16_t progress = 0;
  EXPECT_EQ(d.wait_for_unit(&progress), kSkNotReady);
  EXPECT_EQ(faults_->Count(kOpTestUnitReady), 0);
  // Operation in progress, with the progress in a descriptor: repeated until done.
  *raw = {kOpStartStopUnit,
          Descriptor(0x72, kSkNotReady, 0x04, 0x07, ProgressDescriptor(0x2345)), 2};
  EXPECT_EQ(d.pioneer_stop(&progress), 0);
  EXPECT_EQ(progress, 0x2345);
  EXPECT_EQ(faults_->Count(kOpStartStopUnit), 1);
}

// Exact-size buffers: a read past what the sense data holds is caught.
TEST(SenseDecodeTest, OnlyBytesInsideTheBufferAndTheSenseLengthAreRead) {
  std::vector<uint8_t> s = {0x70, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x04, 0x07, 0, 0x80,
                            0x12, 0x34};
  SenseFields f = DecodeSense(s.data(), s.size());
  EXPECT_EQ(f.key * 65536 + f.asc * 256 + f.ascq, 0x20407);
  EXPECT_EQ(f.hasProgress ? f.progress : -1, 0x1234);
  s[7] = 4;  // the additional sense length ends before the ASC
  f = DecodeSense(s.data(), s.size());
  EXPECT_EQ(f.key * 65536 + f.asc * 256 + f.ascq, 0x20000);
  EXPECT_FALSE(f.hasProgress);
  s[7] = 10;
  f = DecodeSense(s.data(), 13);  // a buffer that ends after the ASC
  EXPECT_EQ(f.asc * 256 + f.ascq, 0x0400);
  EXPECT_FALSE(f.hasProgress);
  EXPECT_FALSE(DecodeSense(nullptr, 18).present);

  s = Descriptor(0x72, 0x0B, 0x47, 0x03);
  s.resize(4);
  f = DecodeSense(s.data(), s.size());
  EXPECT_EQ(f.key * 65536 + f.asc * 256 + f.ascq, 0xB4703);
  // An empty descriptor and one of another type before the progress.
  std::vector<uint8_t> list = {0x00, 0x00, 0x01, 0x02, 0xAA, 0xBB};
  const std::vector<uint8_t> p = ProgressDescriptor(0x4000);
  list.insert(list.end(), p.begin(), p.end());
  s = Descriptor(0x73, kSkNotReady, 0x04, 0x07, list);
  EXPECT_EQ(DecodeSense(s.data(), s.size()).progress, 0x4000);
  EXPECT_FALSE(DecodeSense(s.data(), s.size() - 2).hasProgress);  // cut by the buffer
  // Lengths that claim more than there is.
  s = Descriptor(0x72, kSkNotReady, 0x04, 0x07, {0x02, 0xFF, 0, 0, 0x80, 1, 2});
  s[7] = 0xFF;
  f = DecodeSense(s.data(), s.size());
  EXPECT_EQ(f.asc, 0x04);
  EXPECT_FALSE(f.hasProgress);
}
