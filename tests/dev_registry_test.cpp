// The device registry: one device object per name, shared, re-opened in place.
#include "device/dev_registry.h"

#include <thread>

#include "test_support.h"

using testsupport::LibraryTest;

class DevRegistryTest : public LibraryTest {
 protected:
  CDevFlyWeightFactory& reg() { return ctx_->get().registry(); }
};

TEST_F(DevRegistryTest, SingletonIsTheCurrentContextsRegistry) {
  EXPECT_EQ(CDevFlyWeightFactory::getSingleton(), &reg());
  EXPECT_EQ(CDevFlyWeightFactory::_Instance, &reg());
}

TEST_F(DevRegistryTest, SameNameGivesSameObjectAndReopenKeepsIt) {
  std::string name = AttachImage(8 << 20);
  CDisk_Dev* a = reg().CreateScsiDev(name.c_str(), false);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(reg().CreateScsiDev(name.c_str(), false), a);
  EXPECT_EQ(reg().GetDevNum(), 1);
  faults_->ClearLog();
  EXPECT_EQ(reg().CreateScsiDev(name.c_str(), true), a);
  EXPECT_EQ(faults_->Count(platform::kOpReadCapacity10), 1);  // associated again
  EXPECT_FALSE(a->is_closed());
}

TEST_F(DevRegistryTest, UnopenableNameGivesNullAndAMessage) {
  EXPECT_EQ(reg().CreateScsiDev("\\\\.\\PhysicalDrive5", false), nullptr);
  EXPECT_TRUE(Printed("Open failed dev \\\\.\\PhysicalDrive5 ret -1 errno 0 "));
  EXPECT_EQ(reg().GetDevNum(), 0);
}

TEST_F(DevRegistryTest, CloseDeviceFdClosesButKeepsTheDevice) {
  std::string name = AttachImage(8 << 20);
  CDisk_Dev* d = reg().CreateScsiDev(name.c_str(), false);
  EXPECT_EQ(reg().CloseDeviceFd("\\\\.\\PhysicalDrive4"), -1);
  EXPECT_EQ(reg().CloseDeviceFd(name.c_str()), 0);
  EXPECT_TRUE(d->is_closed());
  EXPECT_EQ(reg().CloseDeviceFd(name.c_str()), 0);
  EXPECT_EQ(reg().CreateScsiDev(name.c_str(), true), d);
  EXPECT_FALSE(d->is_closed());
}

TEST_F(DevRegistryTest, TextsAreCachedAndGoWithTheDevice) {
  std::string name = AttachImage(8 << 20);
  ASSERT_NE(reg().CreateScsiDev(name.c_str(), false), nullptr);
  char text[32];
  EXPECT_EQ(reg().GetDevText(text, name.c_str()), 0);
  EXPECT_STREQ(text, "IMAGE    disk.img");
  EXPECT_EQ(reg().DelDevText(name.c_str()), 0);
  EXPECT_EQ(reg().DelDevText(name.c_str()), -1);
  EXPECT_EQ(reg().DelScsiDev(name.c_str()), 0);
  EXPECT_EQ(reg().DelDevText(name.c_str()), -1);
  EXPECT_EQ(reg().GetDevNum(), 0);
}

TEST_F(DevRegistryTest, GetDevTextWithFailingInquiryGivesEmptyText) {
  std::string name = AttachImage(8 << 20);
  platform::FaultRule r;
  r.opcodes = {platform::kOpInquiry};
  r.key = platform::kSkHardwareError;
  r.asc = 0x44;
  faults_->AddRule(r);
  char text[32] = "stale";
  EXPECT_EQ(reg().GetDevText(text, name.c_str()), 0);
  EXPECT_STREQ(text, "");
  EXPECT_TRUE(Printed("Can not found deviceText of dev"));
  EXPECT_EQ(reg().GetDevNum(), 1);  // registered anyway
}

TEST_F(DevRegistryTest, AutoScanRegistersTheDrivesThatOpen) {
  AttachImage(8 << 20, 512, false, "a.img");
  AttachImage(8 << 20, 512, false, "b.img");
  EXPECT_EQ(reg().AutoScan(), 2);
  EXPECT_EQ(reg().GetDevNum(), 2);
  EXPECT_EQ(reg().Clear(), 0);
  EXPECT_EQ(reg().GetDevNum(), 0);
}

TEST_F(DevRegistryTest, ReplacedDevicesStayValidForTheirHolders) {
  std::string name = AttachImage(8 << 20);
  CDisk_Dev* held = reg().CreateScsiDev(name.c_str(), false);
  reg().DelScsiDev(name.c_str());
  CDisk_Dev* fresh = reg().CreateScsiDev(name.c_str(), false);
  EXPECT_NE(fresh, held);
  uint8_t b[512];
  EXPECT_EQ(held->Read(1, b, sizeof b, true), 0);  // still a working device
}

TEST_F(DevRegistryTest, ConcurrentUsersShareOneDevice) {
  std::string name = AttachImage(8 << 20);
  std::vector<CDisk_Dev*> got(4);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&, i] {
      got[i] = reg().CreateScsiDev(name.c_str(), false);
      char text[32];
      reg().GetDevText(text, name.c_str());
      uint8_t b[4096];
      for (int k = 0; k < 50; ++k) got[i]->Read(k, b, sizeof b, true);
    });
  for (auto& t : threads) t.join();
  for (CDisk_Dev* d : got) EXPECT_EQ(d, got[0]);
}
