// Play buffers: frames out of raw record data (headers across the end, garbage, incomplete and
// oversized frames, the write span), and the shared-memory buffer across two processes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "disklayout/le.h"
#include "fifo/mp_frame_buf.h"
#include "fifo/play_buf.h"
#include "test_support.h"

using testsupport::Pattern;

namespace {

// A "PTMF" record as record files hold them: 224-byte header, payload numbered by `no`.
std::vector<uint8_t> Record(uint32_t payload, uint32_t no, uint8_t type = 'P') {
  std::vector<uint8_t> r(224 + payload, 0);
  std::memcpy(r.data(), "PTMF", 4);
  r[4] = 224;
  r[5] = type;
  le::Put32(&r[8], no);
  le::Put32(&r[12], payload);
  le::Put32(&r[16], 1000 * no);
  auto p = Pattern(payload, no);
  std::memcpy(r.data() + 224, p.data(), payload);
  return r;
}

TEST(PlayBufGeneral, FramesAcrossTheEndAndGarbage) {
  CPlayBufGeneral b;
  std::vector<uint8_t> out(8192);
  EXPECT_EQ(b.GetFrame(out.data(), out.size()), -2005);
  ASSERT_EQ(b.Open(2, 4096, nullptr, 0), 0);
  EXPECT_TRUE(b.IsOpen());
  // Advance the ring so the next header starts 100 bytes before the end.
  std::vector<uint8_t> filler(3996, 0);
  ASSERT_EQ(b.PutData(filler.data(), filler.size()), 3996);
  ASSERT_EQ(b.Consume(3996, true), 0);
  auto r1 = Record(1000, 1, 'I');
  ASSERT_EQ(b.PutData(r1.data(), r1.size()), static_cast<int>(r1.size()));
  EXPECT_EQ(b.PeekFrameType(), 'I');
  ASSERT_EQ(b.GetFrame(out.data(), out.size()), 1224);
  EXPECT_EQ(0, std::memcmp(out.data(), r1.data(), r1.size()));
  EXPECT_EQ(b.LastFrameTime(), 1000);

  std::vector<uint8_t> junk(300, 0x42);
  auto r2 = Record(500, 2);
  ASSERT_EQ(b.PutData(junk.data(), junk.size()), 300);
  ASSERT_EQ(b.PutData(r2.data(), r2.size()), 724);
  EXPECT_EQ(b.GetFrame(out.data(), out.size()), 0);  // the garbage goes, no frame this time
  EXPECT_EQ(b.DataSize(), 724u);
  ASSERT_EQ(b.GetFrame(out.data(), out.size()), 724);
  EXPECT_EQ(0, std::memcmp(out.data(), r2.data(), r2.size()));

  // Half a frame: nothing consumed until the rest arrives.
  auto r3 = Record(2000, 3);
  ASSERT_EQ(b.PutData(r3.data(), 1000), 1000);
  EXPECT_EQ(b.GetFrame(out.data(), out.size()), -4011);
  EXPECT_EQ(b.DataSize(), 1000u);
  ASSERT_EQ(b.PutData(r3.data() + 1000, r3.size() - 1000), static_cast<int>(r3.size()) - 1000);
  // A frame longer than the caller's buffer is consumed and refused, never copied past it.
  EXPECT_EQ(b.GetFrame(out.data(), 1000), -8002);
  EXPECT_EQ(b.DataSize(), 0u);
}

// The last frame of a file may be shorter than the header slack (a small "FSFM" frame): it is
// found by its 48-byte header and delivered, by both buffers.
TEST(PlayBufGeneral, AFrameShorterThanTheSlackIsDelivered) {
  const auto small = testsupport::FsfmFrame('P', 5000, std::vector<uint8_t>(60, 7), 3);
  std::vector<uint8_t> out(4096);
  CPlayBufGeneral general;
  ASSERT_EQ(general.Open(1, 4096, nullptr, 0), 0);
  CMPFrameBuf shared;
  ASSERT_EQ(shared.Open(9, 4096, nullptr, 9), 0);
  for (CPlayBufStrategy* b : {static_cast<CPlayBufStrategy*>(&general),
                              static_cast<CPlayBufStrategy*>(&shared)}) {
    ASSERT_EQ(b->PutData(small.data(), 40), 40);
    EXPECT_LT(b->GetFrame(out.data(), out.size()), 0);  // not even a header yet
    ASSERT_EQ(b->PutData(small.data() + 40, small.size() - 40), static_cast<int>(small.size()) - 40);
    if (b == &general) {
      EXPECT_EQ(b->PeekFrameType(), 'P');
    }
    ASSERT_EQ(b->GetFrame(out.data(), out.size()), static_cast<int>(small.size()));
    EXPECT_EQ(0, std::memcmp(out.data(), small.data(), small.size()));
    EXPECT_EQ(b->DataSize(), 0u);
  }
}

TEST(PlayBufGeneral, WriteSpanAndCommit) {
  CPlayBufGeneral b;
  ASSERT_EQ(b.Open(0, 4096, nullptr, 0), 0);
  uint8_t *w = nullptr, *start = nullptr;
  uint32_t toEnd = 0;
  b.GetWriteSpan(&w, &toEnd, &start);
  EXPECT_EQ(toEnd, 4096u);
  auto r = Record(800, 9);
  std::memcpy(w, r.data(), r.size());
  ASSERT_EQ(b.CommitWrite(static_cast<uint32_t>(r.size()), true), 0);
  EXPECT_EQ(b.FillPercent(), 1024 * 100 / 4096);
  WriteSpanDesc d;
  EXPECT_EQ(b.DescribeWrite(3000, 500, &d), 0);
  EXPECT_EQ(d.firstLen, 72u);
  EXPECT_EQ(d.secondLen, 428u);
  EXPECT_EQ(b.DescribeWrite(0, 0, &d), -2002);
  std::vector<uint8_t> out(2048);
  ASSERT_EQ(b.GetFrame(out.data(), out.size()), 1024);
  EXPECT_EQ(b.Consume(5000, true), -4011);
  b.Clear();
  EXPECT_EQ(b.DataSize(), 0u);
}

class MPFrameBufTest : public ::testing::Test {
 protected:
  // Section names are machine-wide and CTest runs these tests side by side: each test keeps
  // to its own channels (3 for the first, 5 and 6 for the second, 8 for the third).
  void TearDown() override {
    for (int channel : {3, 5, 6, 8}) shm_unlink(CMPFrameBuf::SectionName(7, channel).c_str());
  }
};

TEST_F(MPFrameBufTest, ASecondProcessReadsWhatTheFirstWrote) {
  CMPFrameBuf b;
  ASSERT_EQ(b.Open(3, 65536, nullptr, 7), 0);
  EXPECT_EQ(b.Open(3, 65536, nullptr, 7), -8004);
  for (uint32_t no = 1; no <= 20; ++no) {
    auto r = Record(2000 + no * 100, no);
    ASSERT_EQ(b.PutData(r.data(), r.size()), static_cast<int>(r.size()));
  }
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    CMPFrameBuf a;
    if (a.Open(3, 0, reinterpret_cast<void*>(2), 7) != 0) _exit(10);
    std::vector<uint8_t> out(8192);
    for (uint32_t no = 1; no <= 20; ++no) {
      int n = a.GetFrame(out.data(), out.size());
      auto r = Record(2000 + no * 100, no);
      if (n != static_cast<int>(r.size()) || std::memcmp(out.data(), r.data(), r.size()) != 0)
        _exit(20 + static_cast<int>(no));
    }
    _exit(a.DataSize() == 0 ? 0 : 50);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(b.DataSize(), 0u);  // the positions are shared
  EXPECT_EQ(b.LastFrameTime(), 20000);

  // Half a frame: -8006 and the length wanted at offset 28; an oversized frame: -8002.
  auto r = Record(3000, 21);
  ASSERT_EQ(b.PutData(r.data(), 1000), 1000);
  std::vector<uint8_t> out(8192);
  EXPECT_EQ(b.GetFrame(out.data(), out.size()), -8006);
  EXPECT_EQ(b.NeededSize(), 3224);
  ASSERT_EQ(b.PutData(r.data() + 1000, 2224), 2224);
  EXPECT_EQ(b.GetFrame(out.data(), 100), -8002);
  EXPECT_EQ(b.DataSize(), 0u);
}

TEST_F(MPFrameBufTest, StaleSectionOfADeadProcessIsReplaced) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto* b = new CMPFrameBuf;  // never closed: the section outlives the process
    _exit(b->Open(5, 4096, nullptr, 7) == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_EQ(WEXITSTATUS(status), 0);
  CMPFrameBuf b;
  ASSERT_EQ(b.Open(5, 8192, nullptr, 7), 0);
  EXPECT_EQ(b.FreeSpace(), 8192u);
  CMPFrameBuf other;  // a live creator keeps its section
  EXPECT_EQ(other.Open(5, 8192, nullptr, 7), -8000);
  CMPFrameBuf attached;
  EXPECT_EQ(attached.Open(6, 0, reinterpret_cast<void*>(2), 7), -8000);  // none of that name
  b.Close();
  CMPFrameBuf late;
  EXPECT_EQ(late.Open(5, 0, reinterpret_cast<void*>(2), 7), -8000);  // unlinked on close
}

// The other process writes the control block as it likes: positions and a capacity past the
// ring. Every call checks them (the ring is emptied, the error flag set) and nothing is read or
// written outside the section.
TEST_F(MPFrameBufTest, PositionsTheOtherSideDamagedAreCheckedOnEveryCall) {
  CMPFrameBuf b, attached;
  ASSERT_EQ(b.Open(8, 4096, nullptr, 7), 0);
  ASSERT_EQ(attached.Open(8, 0, reinterpret_cast<void*>(2), 7), 0);
  const int fd = shm_open(CMPFrameBuf::SectionName(7, 8).c_str(), O_RDWR, 0600);
  ASSERT_GE(fd, 0);
  auto* control = static_cast<uint8_t*>(
      mmap(nullptr, CMPFrameBuf::kControlBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  close(fd);
  ASSERT_NE(control, MAP_FAILED);
  auto r = Record(1000, 1);
  std::vector<uint8_t> out(8192);
  const uint32_t bad[][2] = {{0xFFFFFF00, 0}, {0, 0x7FFFFFFF}, {4096, 4096}};
  for (const auto& pos : bad) {
    le::Put32(control + 4, pos[0]);
    le::Put32(control + 8, pos[1]);
    le::Put32(control + 12, 0x7FFFFFFF);  // the capacity as well
    EXPECT_LE(attached.DataSize(), 4096u);
    EXPECT_EQ(control[32], 1) << "the error flag";
    ASSERT_EQ(b.PutData(r.data(), r.size()), static_cast<int>(r.size()));
    EXPECT_EQ(attached.GetFrame(out.data(), out.size()), static_cast<int>(r.size()));
    EXPECT_EQ(0, std::memcmp(out.data(), r.data(), r.size()));
    control[32] = 0;
  }
  munmap(control, CMPFrameBuf::kControlBytes);
}

// A tag whose header and payload lengths are 0 is no frame for either play buffer: it is
// stepped over and the frame after it comes out (no endless "garbage skipped" answers).
TEST_F(MPFrameBufTest, AZeroLengthTagIsSteppedOverByBothPlayBuffers) {
  CPlayBufGeneral general;
  ASSERT_EQ(general.Open(0, 65536, nullptr, 0), 0);
  CMPFrameBuf shared;
  ASSERT_EQ(shared.Open(3, 65536, nullptr, 7), 0);
  auto zero = Record(40, 1);
  zero[4] = 0;
  le::Put32(&zero[12], 0);
  auto good = Record(500, 2);
  for (CPlayBufStrategy* b : {static_cast<CPlayBufStrategy*>(&general),
                              static_cast<CPlayBufStrategy*>(&shared)}) {
    ASSERT_GT(b->PutData(zero.data(), zero.size()), 0);
    ASSERT_GT(b->PutData(good.data(), good.size()), 0);
    std::vector<uint8_t> out(4096);
    int n = 0, calls = 0;
    for (; calls < 1000 && n <= 0; ++calls) n = b->GetFrame(out.data(), out.size());
    EXPECT_EQ(n, static_cast<int>(good.size()));
    EXPECT_EQ(0, std::memcmp(out.data(), good.data(), good.size()));
    EXPECT_EQ(b->DataSize(), 0u);
  }
}

}  // namespace
