// The device service threads with small test doubles of a writer (a flush entry) and a reader
// (a fill entry): the passes, dropping failing or moved entries, several readers under one key,
// the idle end when the device goes away, the re-creation on the next registration, and
// registrations that start no thread while threads are off.
#include "recorder/device_service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "device/dev_registry.h"
#include "device/disk_dev.h"
#include "platform/scsi.h"
#include "test_support.h"

using testsupport::LibraryTest;

namespace {

class FakeWriter : public ServiceWriter {
 public:
  int FlushForService() override { return ++flushes <= failAfter ? 0 : -7; }
  int ServiceLastError() const override { return -1003; }
  std::atomic<int> flushes{0};
  std::atomic<int> failAfter{1 << 30};
};

class FakeReader : public ServiceReader {
 public:
  explicit FakeReader(uint64_t k) : key(k) {}
  bool ServiceFileOpen() const override { return open; }
  uint64_t ServiceKey() const override { return key; }
  int Fill(int percent) override {
    lastPercent = percent;
    return ++fills <= failAfter ? 0 : -1;
  }
  int ServiceChannel() const override { return 3; }
  uint64_t ServiceFileLba() const override { return key; }
  void ServiceTimeRange(int64_t* s, int64_t* e, bool* back) const override {
    *s = 1700000000000;
    *e = 1700000060000;
    *back = false;
  }
  std::atomic<bool> open{true};
  std::atomic<uint64_t> key;
  std::atomic<int> fills{0};
  std::atomic<int> lastPercent{0};
  std::atomic<int> failAfter{1 << 30};
};

class DeviceServiceTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    services_.SetIntervals(2, 20);
    drive_ = AttachImage(16 << 20);
    dev_ = CDevFlyWeightFactory::getSingleton()->CreateScsiDev(drive_.c_str(), false);
    ASSERT_NE(dev_, nullptr);
  }
  void TearDown() override {
    services_.StopAll();
    LibraryTest::TearDown();
  }
  DeviceServices services_;
  std::string drive_;
  CDisk_Dev* dev_ = nullptr;
};

TEST_F(DeviceServiceTest, FlushesAndFillsUntilAnEntryFails) {
  FakeWriter good, failing;
  failing.failAfter = 2;
  EXPECT_EQ(services_.RegisterWriter(drive_, 1, &good, dev_), 1);  // creates the object
  EXPECT_EQ(services_.RegisterWriter(drive_, 2, &failing, dev_), 0);
  FakeReader reader(4096);
  EXPECT_EQ(services_.RegisterReader(drive_, 4096, &reader, dev_, 0x80000), 0);
  DeviceService* s = services_.Find(drive_);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->readBuffer().size(), 0x80000u);

  ASSERT_TRUE(testsupport::WaitUntil([&] { return good.flushes > 10 && reader.fills > 10; }));
  EXPECT_EQ(reader.lastPercent, 45);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return s->WriterCount() == 1; }));
  const int failed = failing.flushes;
  EXPECT_TRUE(Printed("Flush_FIFOData Error ret -7 error -1003"));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(failing.flushes, failed);  // not flushed again until it registers anew

  reader.failAfter = reader.fills.load();  // its next fill fails
  ASSERT_TRUE(testsupport::WaitUntil([&] { return s->ReaderCount() == 0; }));
  services_.StopAll();  // the thread stops before the doubles above go
}

TEST_F(DeviceServiceTest, ReadersThatMovedOrClosedAreDropped) {
  FakeReader moved(100), closed(200), twinA(300), twinB(300);
  services_.RegisterReader(drive_, 100, &moved, dev_, 4096);
  services_.RegisterReader(drive_, 200, &closed, dev_, 4096);
  // Two readers of one file for one client (the player and a backup) both stay registered.
  services_.RegisterReader(drive_, 300, &twinA, dev_, 4096);
  services_.RegisterReader(drive_, 300, &twinB, dev_, 4096);
  DeviceService* s = services_.Find(drive_);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return twinA.fills > 3 && twinB.fills > 3; }));
  EXPECT_EQ(s->ReaderCount(), 4u);
  moved.key = 101;  // opened another file
  closed.open = false;
  ASSERT_TRUE(testsupport::WaitUntil([&] { return s->ReaderCount() == 2; }));

  EXPECT_EQ(services_.UnregisterReader(drive_, 300, &twinA), 0);
  EXPECT_TRUE(Printed("Found CH 3 the reader file.LBA 300 ."));
  EXPECT_TRUE(Printed("Close record time"));
  EXPECT_EQ(s->ReaderCount(), 1u);
  const int before = twinB.fills;
  ASSERT_TRUE(testsupport::WaitUntil([&] { return twinB.fills > before + 2; }));
  EXPECT_EQ(services_.UnregisterReader("/no/such/folder/x", 300, &twinB), -1);
  services_.StopAll();  // the thread stops before the doubles above go
}

TEST_F(DeviceServiceTest, ThreadEndsWhenTheIdleDeviceGoesAwayAndRestartsOnRegistration) {
  FakeWriter writer;
  writer.failAfter = 0;  // dropped on its first flush: then nothing is registered
  services_.RegisterWriter(drive_, 1, &writer, dev_);
  DeviceService* s = services_.Find(drive_);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return s->WriterCount() == 0; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  EXPECT_TRUE(s->running());  // the device still answers

  platform::FaultRule gone;
  gone.opcodes = {platform::kOpTestUnitReady};
  gone.key = platform::kSkNotReady;
  gone.asc = 0x3A;  // medium not present
  faults_->AddRule(gone);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return !s->running(); }));
  faults_->ClearRules();

  FakeWriter next;
  EXPECT_EQ(services_.RegisterWriter(drive_, 9, &next, dev_), 0);
  EXPECT_TRUE(Printed("Re-cread thhread to flush fifo data. dev " + drive_));
  ASSERT_TRUE(testsupport::WaitUntil([&] { return next.flushes > 2; }));
  services_.StopAll();  // the thread stops before the doubles above go
}

TEST_F(DeviceServiceTest, WithThreadsOffRegistrationsStartNone) {
  services_.SetThreads(false);
  FakeWriter writer;
  FakeReader reader(4096);
  services_.RegisterWriter(drive_, 1, &writer, dev_);
  services_.RegisterReader(drive_, 4096, &reader, dev_, 4096);
  DeviceService* s = services_.Find(drive_);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->WriterCount(), 1u);
  EXPECT_EQ(s->ReaderCount(), 1u);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));  // a thread would pass every 2 ms
  EXPECT_FALSE(s->running());
  EXPECT_EQ(writer.flushes, 0);
  EXPECT_EQ(reader.fills, 0);

  services_.SetThreads(true);  // the next registration starts the thread again
  FakeWriter next;
  services_.RegisterWriter(drive_, 2, &next, dev_);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return next.flushes > 2 && reader.fills > 2; }));
  services_.StopAll();  // the thread stops before the doubles above go
}

TEST_F(DeviceServiceTest, WritersWithEqualKeysAreAllFlushed) {
  FakeWriter a, b;
  services_.RegisterWriter(drive_, 7, &a, dev_);
  services_.RegisterWriter(drive_, 7, &b, dev_);  // another file with the same key
  services_.RegisterWriter(drive_, 7, &b, dev_);  // registered twice: kept once
  DeviceService* s = services_.Find(drive_);
  EXPECT_EQ(s->WriterCount(), 2u);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return a.flushes > 2 && b.flushes > 2; }));
  EXPECT_TRUE(services_.UnregisterWriter(drive_, 7, &a));
  EXPECT_FALSE(services_.UnregisterWriter(drive_, 7, &a));
  EXPECT_EQ(s->WriterCount(), 1u);
  services_.StopAll();  // the thread stops before the doubles above go
}

TEST_F(DeviceServiceTest, PathsInOneFolderShareAnObject) {
  testsupport::TempDir dir;
  FakeWriter a, b;
  EXPECT_EQ(services_.RegisterWriter(dir.File("Record/00001.asf"), 1, &a, nullptr), 1);
  EXPECT_EQ(services_.RegisterWriter(dir.File("Record/00002.asf"), 2, &b, nullptr), 0);
  EXPECT_EQ(services_.Find(dir.File("Record/00003.asf")), services_.Find(dir.File("Record/")));
  EXPECT_EQ(DeviceServices::ServiceName(dir.File("Record/00001.asf")), dir.File("Record/"));
  EXPECT_EQ(DeviceServices::ServiceName(drive_), drive_);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return a.flushes > 1 && b.flushes > 1; }));
  services_.StopAll();  // the thread stops before the doubles above go
}

}  // namespace
