// The byte ring, the frame FIFO (records, wrap-around headers in the slack, sequence numbers,
// readers and their resync, making room, garbage), the reader registry and the message store,
// and a producer/consumer stress run (also under ThreadSanitizer).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "api/context.h"
#include "disklayout/le.h"
#include "fifo/fifo_buf.h"
#include "fifo/fifo_index.h"
#include "fifo/fifo_users.h"
#include "fifo/frame_fifo.h"
#include "platform/messages.h"
#include "platform/platform_context.h"
#include "test_support.h"

using testsupport::Pattern;

namespace {

TEST(FifoBuf, FillLevelsAndTwoPieceCopies) {
  CFIFO_buf f;
  EXPECT_EQ(f.Init(0), FIFO_ERR_SIZE);
  EXPECT_EQ(f.Init(101), FIFO_ERR_SIZE);
  ASSERT_EQ(f.Init(100), 0);
  EXPECT_EQ(f.Init(100), FIFO_ERR_SIZE_IN_USE);
  auto data = Pattern(100, 1);
  ASSERT_EQ(f.Write(data.data(), 60), 60);
  uint8_t out[100];
  ASSERT_EQ(f.Read(out, 50, false), 50);
  ASSERT_EQ(f.Write(data.data(), 90), 90);  // crosses the end, fills the ring exactly
  EXPECT_TRUE(f.wrapped());
  EXPECT_EQ(f.DataSize(), 100u);
  EXPECT_EQ(f.Write(data.data(), 1), FIFO_ERR_NOTENOUGH);
  ASSERT_EQ(f.Read(out, 10, true), 10);  // peek
  EXPECT_EQ(f.DataSize(), 100u);
  uint32_t firstLen = 0;
  uint8_t* firstPtr = nullptr;
  uint8_t* second = f.GetReadSpan(60, &firstLen, &firstPtr);
  EXPECT_EQ(firstLen, 50u);
  EXPECT_EQ(firstPtr, f.buffer() + 50);
  EXPECT_EQ(second, f.buffer());
  ASSERT_EQ(f.Read(out, 100, false), 100);
  EXPECT_EQ(0, std::memcmp(out, data.data() + 50, 10));
  EXPECT_EQ(0, std::memcmp(out + 10, data.data(), 90));
  EXPECT_EQ(f.DataSize(), 0u);
  EXPECT_FALSE(f.wrapped());
  EXPECT_EQ(f.Read(out, 1, false), FIFO_ERR_NOTENOUGH);
  EXPECT_EQ(f.Read(nullptr, 1, false), FIFO_ERR_BAD_READ);
  EXPECT_EQ(f.totalRead(), 150u);
}

class FrameFifoTest : public testsupport::LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    QVFS_SetManualClock(1, 1700000000123);
  }
  std::vector<uint8_t> out_ = std::vector<uint8_t>(1 << 16);
  int Read(CFrameFIFO& f, int reader) { return f.ReadFrame(out_.data(), out_.size(), reader); }
};

TEST_F(FrameFifoTest, RecordsAndSequenceNumbers) {
  CFrameFIFO f(3);
  auto payload = Pattern(1000, 2);
  EXPECT_EQ(f.WriteFrame(payload.data(), 1000, 'I'), FIFO_ERR_NO_BUFFER);
  ASSERT_EQ(f.InitFrames(8192), 0);
  EXPECT_EQ(f.capacity(), 8192u);
  EXPECT_EQ(f.bufferBytes(), 8192u + 448);
  EXPECT_EQ(f.WriteFrame(payload.data(), 0, 'P'), FIFO_ERR_ZERO_FRAME);
  ASSERT_EQ(f.WriteFrame(payload.data(), 1000, 'I'), 0);
  ASSERT_EQ(f.WriteFrame(payload.data(), 160, 'A'), 0);
  ASSERT_EQ(f.WriteFrame(payload.data(), 500, 'P'), 0);
  ASSERT_EQ(Read(f, 0), 1224);
  const uint8_t* h = out_.data();
  EXPECT_EQ(0, std::memcmp(h, "PTMF", 4));
  EXPECT_EQ(h[4], 224);
  EXPECT_EQ(h[5], 'I');
  EXPECT_EQ(h[6], 3);
  EXPECT_EQ(h[7], 25);
  EXPECT_EQ(le::Get32(h + 8), 0u);
  EXPECT_EQ(le::Get32(h + 12), 1000u);
  EXPECT_EQ(le::Get32(h + 16), static_cast<uint32_t>(1700000000123ll));
  EXPECT_EQ(le::Get16(h + 20), 1700000000123ll >> 32);
  EXPECT_TRUE(std::all_of(h + 24, h + 224, [](uint8_t b) { return b == 0; }));
  EXPECT_EQ(0, std::memcmp(h + 224, payload.data(), 1000));
  ASSERT_EQ(Read(f, 0), 384);
  EXPECT_EQ(le::Get32(out_.data() + 8), 0u);  // audio repeats the last video number
  ASSERT_EQ(Read(f, 0), 724);
  EXPECT_EQ(le::Get32(out_.data() + 8), 1u);
  EXPECT_EQ(Read(f, 0), FIFO_ERR_NO_FRAME);
  EXPECT_EQ(f.Consume(10, 0), FIFO_ERR_NO_FRAME);  // nothing held: the position stays
  EXPECT_EQ(f.DataSize(), 0u);
  // A record larger than the whole ring is refused, not written over itself.
  std::vector<uint8_t> huge(8192);
  EXPECT_EQ(f.WriteFrame(huge.data(), 8192 - 223, 'P'), FIFO_ERR_NOTENOUGH);
}

TEST_F(FrameFifoTest, HeadersAcrossTheEndReadWholeForEveryReader) {
  CFrameFIFO f(0);
  ASSERT_EQ(f.InitFrames(4000), 0);
  auto payload = Pattern(3000, 3);
  ASSERT_EQ(Read(f, 1), FIFO_ERR_NO_FRAME);  // reader 1 before any key frame: follows reader 0
  for (int round = 0; round < 40; ++round) {
    // Sizes that put headers at every distance from the end over the rounds.
    const uint32_t len = 100 + static_cast<uint32_t>(round * 37 % 900);
    ASSERT_EQ(f.WriteFrame(payload.data(), len, round % 5 == 0 ? 'I' : 'P'), 0) << round;
    for (int reader : {1, 0}) {
      ASSERT_EQ(Read(f, reader), static_cast<int>(len + 224)) << "round " << round;
      ASSERT_EQ(0, std::memcmp(out_.data(), "PTMF", 4));
      ASSERT_EQ(le::Get32(out_.data() + 12), len);
      ASSERT_EQ(0, std::memcmp(out_.data() + 224, payload.data(), len)) << "round " << round;
    }
  }
  EXPECT_NE(Read(f, 15), FIFO_ERR_BAD_READER);  // the last of the 16 readers
  EXPECT_EQ(Read(f, 16), FIFO_ERR_BAD_READER);
  EXPECT_EQ(f.Water(16), FIFO_ERR_BAD_READER);
  EXPECT_EQ(f.Consume(1, 16), FIFO_ERR_BAD_READER);
}

// Every field of a record (type, number, length, both parts of the time stamp, the zeros) reaches
// the consuming reader and a follower whole when its header lies at any distance from the ring's
// end, including the distances that split the number, the length and the time stamp.
TEST_F(FrameFifoTest, HeaderFieldsSurviveEverySplitAtTheEnd) {
  constexpr uint32_t kCap = 4000;
  CFrameFIFO f(9);
  ASSERT_EQ(f.InitFrames(kCap), 0);
  auto payload = Pattern(kCap, 8);
  ASSERT_EQ(Read(f, 1), FIFO_ERR_NO_FRAME);  // reader 1 follows from here
  uint32_t counter = 0, lastVideo = 0;
  int64_t now = 1700000000123;
  // Writes one record and has readers 1 and 0 read it, checking everything in it.
  auto writeAndRead = [&](uint8_t type, uint32_t len) {
    now += (int64_t{1} << 32) + 7;  // the upper 16 bits of the stamp change every time
    QVFS_AdvanceClock((int64_t{1} << 32) + 7);
    if (type != 'A') lastVideo = counter++;
    ASSERT_EQ(f.WriteFrame(payload.data(), len, type), 0);
    for (int reader : {1, 0}) {
      SCOPED_TRACE(testing::Message() << "reader " << reader << " type " << type << " len " << len);
      ASSERT_EQ(Read(f, reader), static_cast<int>(len + 224));
      const uint8_t* h = out_.data();
      EXPECT_EQ(0, std::memcmp(h, "PTMF", 4));
      EXPECT_EQ(h[4], 224);
      EXPECT_EQ(h[5], type);
      EXPECT_EQ(h[6], 9);
      EXPECT_EQ(h[7], 25);
      EXPECT_EQ(le::Get32(h + 8), lastVideo);
      EXPECT_EQ(le::Get32(h + 12), len);
      EXPECT_EQ(le::Get32(h + 16), static_cast<uint32_t>(now));
      EXPECT_EQ(le::Get16(h + 20), static_cast<uint16_t>(now >> 32));
      EXPECT_TRUE(std::all_of(h + 24, h + 224, [](uint8_t b) { return b == 0; }));
      EXPECT_EQ(0, std::memcmp(h + 224, payload.data(), len));
    }
  };
  writeAndRead('A', 160);  // audio before any video carries number 0
  const uint8_t types[] = {'I', 'A', 'P', 'A', 'P'};
  int n = 0;
  for (uint32_t toEnd :
       {1u, 3u, 6u, 9u, 10u, 13u, 15u, 18u, 20u, 21u, 23u, 24u, 120u, 223u, 224u}) {
    SCOPED_TRACE(testing::Message() << "header " << toEnd << " bytes before the end");
    // Filler records until the next header starts toEnd bytes before the end.
    for (int guard = 0; f.writePos() != kCap - toEnd && guard < 3; ++guard) {
      const uint32_t dist = (kCap - toEnd + kCap - f.writePos()) % kCap;
      writeAndRead('P', dist >= 225 ? dist - 224 : 1000);
    }
    ASSERT_EQ(f.writePos(), kCap - toEnd);
    writeAndRead(types[n++ % 5], 160 + toEnd);
  }
}

// Garbage before a record that is still being written is skipped, and the record then waits for
// its last bytes: it is neither handed on early nor skipped.
TEST_F(FrameFifoTest, RecordAfterSkippedGarbageWaitsUntilComplete) {
  CFrameFIFO f(0);
  ASSERT_EQ(f.InitFrames(1 << 14), 0);
  ASSERT_EQ(Read(f, 2), FIFO_ERR_NO_FRAME);  // reader 2 follows from the start
  std::vector<uint8_t> junk(300, 0x33);
  ASSERT_EQ(f.Write(junk.data(), 300), 300);
  const auto record = testsupport::PtmfFrame('P', 1700000000123, 1000, 4);
  ASSERT_EQ(record.size(), 1224u);
  ASSERT_EQ(f.Write(record.data(), 1024), 1024);  // the header and 800 of the 1000 bytes
  for (int reader : {0, 2}) {
    SCOPED_TRACE(reader);
    EXPECT_EQ(Read(f, reader), FIFO_ERR_NO_FRAME);  // the garbage goes, the record waits
    EXPECT_EQ(f.Water(reader), 1024);
    EXPECT_EQ(Read(f, reader), FIFO_ERR_NO_FRAME);
    EXPECT_EQ(f.Water(reader), 1024);
  }
  ASSERT_EQ(f.Write(record.data() + 1024, 200), 200);
  for (int reader : {2, 0}) {
    SCOPED_TRACE(reader);
    ASSERT_EQ(Read(f, reader), 1224);
    EXPECT_EQ(0, std::memcmp(out_.data(), record.data(), record.size()));
    EXPECT_EQ(f.Water(reader), 0);
  }
}

TEST_F(FrameFifoTest, NewReaderStartsAtTheNewestKeyFrame) {
  CFrameFIFO f(0);
  ASSERT_EQ(f.InitFrames(1 << 16), 0);
  auto payload = Pattern(500, 4);
  for (int i = 0; i < 9; ++i) {
    le::Put32(payload.data(), static_cast<uint32_t>(i));
    ASSERT_EQ(f.WriteFrame(payload.data(), 500, i % 3 == 0 ? 'I' : 'P'), 0);
  }
  ASSERT_EQ(Read(f, 7), 724);
  EXPECT_EQ(out_[5], 'I');
  EXPECT_EQ(le::Get32(out_.data() + 224), 6u);  // the third key frame, the newest
  EXPECT_EQ(f.Water(7), 2 * 724);
  EXPECT_EQ(f.WaterPercent(0), 9 * 724 * 100 / 65536);
}

TEST_F(FrameFifoTest, FullRingDropsOrRefuses) {
  CFrameFIFO f(0);
  ASSERT_EQ(f.InitFrames(10 * 1024), 0);
  auto payload = Pattern(800, 5);
  f.SetDropWhenFull(false);
  int written = 0;
  while (f.WriteFrame(payload.data(), 800, written % 2 ? 'P' : 'I') == 0) ++written;
  EXPECT_EQ(written, 10);  // 10 x 1024 bytes fill it exactly
  EXPECT_TRUE(f.wrapped());
  EXPECT_EQ(f.DataSize(), f.capacity());
  const uint32_t rp = f.readPos(), wp = f.writePos();
  EXPECT_EQ(f.WriteFrame(payload.data(), 800, 'P'), FIFO_ERR_NOTENOUGH);
  EXPECT_EQ(f.readPos(), rp);
  EXPECT_EQ(f.writePos(), wp);
  EXPECT_EQ(f.LostFrames(), 2u);  // the two refused writes

  f.SetDropWhenFull(true);  // the consuming reader jumps to a later key frame
  ASSERT_EQ(f.WriteFrame(payload.data(), 800, 'P'), 0);
  ASSERT_GT(Read(f, 0), 0);
  EXPECT_EQ(out_[5], 'I');
  EXPECT_EQ(le::Get32(out_.data() + 8), 2u);  // the key frame two records on
  EXPECT_EQ(f.LostFrames(), 4u);             // and the two records before it
}

TEST_F(FrameFifoTest, GarbageIsSkippedAndOversizedRecordsRefused) {
  CFrameFIFO f(0);
  ASSERT_EQ(f.InitFrames(1 << 14), 0);
  std::vector<uint8_t> junk(300, 0x33);
  ASSERT_EQ(f.Write(junk.data(), 300), 300);  // bytes that are no record
  auto payload = Pattern(2000, 6);
  ASSERT_EQ(f.WriteFrame(payload.data(), 2000, 'I'), 0);
  EXPECT_EQ(Read(f, 0), 2224);  // the skip and the frame in one read
  EXPECT_EQ(0, std::memcmp(out_.data() + 224, payload.data(), 2000));

  ASSERT_EQ(f.WriteFrame(payload.data(), 2000, 'P'), 0);
  std::vector<uint8_t> small(1000);
  EXPECT_EQ(f.ReadFrame(small.data(), small.size(), 0), FIFO_ERR_NO_FRAME);
  EXPECT_EQ(f.DataSize(), 0u);  // consumed and refused, not copied past the buffer
}

TEST(FifoUsers, SlotsAndRefusal) {
  FifoUsers users(4);
  EXPECT_EQ(users.RegisterUser("live video"), 1);
  EXPECT_EQ(users.RegisterUser("backup"), 2);
  EXPECT_EQ(users.RegisterUser("live video"), 1);
  EXPECT_EQ(users.RegisterUser(""), 2);
  EXPECT_EQ(users.RegisterUser("preview"), 3);
  EXPECT_EQ(users.RegisterUser("extra"), -106);  // never reader 0, the recording engine
  EXPECT_EQ(users.UnRegisterUser("backup"), 0);
  EXPECT_EQ(users.RegisterUser("extra"), 2);
}

TEST(MessageStore, KeepsMessagesWhenGivenRoomAndDropsThemOtherwise) {
  CFIFO_Index store;
  EXPECT_EQ(store.WriteMessage("dropped %d", 1), FIFO_ERR_NOTENOUGH);
  ASSERT_EQ(store.Init(64), 0);
  const int a = store.WriteMessage("CH%02d ready", 3);
  ASSERT_EQ(a, 0);
  const int b = store.AppendText("second");
  ASSERT_EQ(b, 11);
  char text[32] = {};
  ASSERT_EQ(store.ReadAt(b, text, sizeof text), 7);
  EXPECT_STREQ(text, "second");
  EXPECT_EQ(store.ReadAt(5, text, sizeof text), FIFO_ERR_NOTENOUGH);
  EXPECT_EQ(store.WriteMessage("%60s", "too long for what is left"), FIFO_ERR_NOTENOUGH);
  EXPECT_EQ(store.MessageCount(), 2u);
  store.Release();
  EXPECT_EQ(store.capacity(), 0u);

  // The debug log still reaches the sink through the process's store (which has no room).
  static std::string got;
  platform::SetLogSink([](const char* t) { got = t; });
  DebugLog("store %d\n", 42);
  platform::SetLogSink(nullptr);
  EXPECT_EQ(got, "store 42\n");
  EXPECT_EQ(MessageStore().capacity(), 0u);
}

// One writer, the consuming reader and two followers, for a bounded number of frames: every
// reader sees whole records in sequence order, and the consuming one sees each video frame once.
TEST(FrameFifoStress, OneWriterThreeReaders) {
  qvfs::ScopedContext scoped;
  CFrameFIFO f(1);
  ASSERT_EQ(f.InitFrames(1 << 18), 0);
  f.SetDropWhenFull(false);
  constexpr int kFrames = 3000;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    auto payload = Pattern(20000, 7);
    for (int i = 0; i < kFrames;) {
      le::Put32(payload.data(), static_cast<uint32_t>(i));
      const uint32_t len = 160 + static_cast<uint32_t>(i * 7919 % 19000);
      if (f.WriteFrame(payload.data(), len, i % 30 == 0 ? 'I' : 'P') == 0) ++i;
      else std::this_thread::yield();
    }
    done = true;
  });
  auto follow = [&](int reader, bool consuming, int* count, bool* ordered) {
    std::vector<uint8_t> buf(1 << 16);
    int64_t last = -1;
    while (true) {
      int r = f.ReadFrame(buf.data(), buf.size(), reader);
      if (r > 0) {
        const int64_t seq = le::Get32(buf.data() + 8);
        if (seq <= last || memcmp(buf.data(), "PTMF", 4) != 0 ||
            static_cast<int64_t>(le::Get32(buf.data() + 224)) != seq)
          *ordered = false;
        last = seq;
        ++*count;
      } else if (done && (consuming ? f.DataSize() == 0 : f.Water(reader) < 224)) {
        break;
      } else {
        std::this_thread::yield();
      }
    }
  };
  int c0 = 0, c1 = 0, c2 = 0;
  bool o0 = true, o1 = true, o2 = true;
  std::thread r0(follow, 0, true, &c0, &o0);
  std::thread r1(follow, 1, false, &c1, &o1);
  std::thread r2(follow, 2, false, &c2, &o2);
  writer.join();
  r0.join();
  r1.join();
  r2.join();
  EXPECT_EQ(c0, kFrames);
  EXPECT_TRUE(o0 && o1 && o2);
  EXPECT_GT(c1, 0);
  EXPECT_GT(c2, 0);
}

}  // namespace
