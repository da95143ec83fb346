// Frame headers through the strategies, the raw-data frame scan, the H.264 helpers over built
// and hostile bit streams, and the in-process frame exchange's answers.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "disklayout/le.h"
#include "record/frame_strategy.h"
#include "record/h264.h"
#include "record/one_process_frame.h"

namespace {

std::vector<uint8_t> Ptmf(uint8_t headerLen, uint32_t payload, uint8_t type = 'P') {
  std::vector<uint8_t> h(64, 0);
  std::memcpy(h.data(), "PTMF", 4);
  h[4] = headerLen;
  h[5] = type;
  h[7] = 25;
  le::Put32(&h[8], 77);
  le::Put32(&h[12], payload);
  return h;
}

TEST(FrameStrategy, TagHeaders) {
  auto h = Ptmf(32, 1000, 'I');
  const uint8_t pts[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F};
  std::memcpy(&h[16], pts, 6);
  h[22] = 0xAB;
  CFrmStategy sel;
  ASSERT_EQ(sel.Select(h.data()), 0);
  EXPECT_EQ(sel.GetType(), CFrmStategy::kQV);
  CFrmStrategy* s = sel.Current();
  EXPECT_EQ(s->GetPts(), 0x7FFFFFFFFFFFll);
  EXPECT_TRUE(s->IsValid());
  EXPECT_TRUE(s->IsKeyFrame());
  EXPECT_EQ(s->GetFrameLength(1), 1032u);
  EXPECT_EQ(s->GetFrameLength(0), 1000u);
  EXPECT_EQ(s->GetAuxValue(), 25u);
  EXPECT_EQ(s->GetFrameNo(), 77u);
  EXPECT_EQ(s->GetWidth(), 0);
  h[21] = 0x80;
  EXPECT_LT(s->GetPts(), 0);
  EXPECT_FALSE(s->IsValid());
  auto before = h;
  s->SetPts(0x123456789A);
  for (size_t i = 0; i < h.size(); ++i)
    if (i < 16 || i > 21) {
      EXPECT_EQ(h[i], before[i]) << "byte " << i;
    }
  EXPECT_EQ(s->GetPts(), 0x123456789All);

  std::memcpy(h.data(), "KRVX", 4);
  ASSERT_EQ(sel.Select(h.data()), 0);
  EXPECT_EQ(sel.GetType(), CFrmStategy::kKorvex);
  EXPECT_TRUE(sel.Current()->IsValid());
  std::memcpy(h.data(), "XXXX", 4);
  EXPECT_EQ(sel.Select(h.data()), -101);
  EXPECT_EQ(sel.Current(), nullptr);
  EXPECT_EQ(sel.GetType(), 0);
}

TEST(FrameStrategy, FoscamHeaders) {
  std::vector<uint8_t> h(48, 0);
  std::memcpy(h.data(), "FSFM", 4);
  h[6] = 'P';
  le::Put32(&h[12], 1000);
  le::Put64(&h[16], 5000);
  le::Put64(&h[24], static_cast<uint64_t>(-1));
  le::Put16(&h[36], 1280);
  le::Put16(&h[38], 720);
  le::Put32(&h[40], 30);
  CFrmStategy sel;
  ASSERT_EQ(sel.Select(h.data()), 0);
  CFrmStrategy* s = sel.Current();
  EXPECT_FALSE(s->IsValid());  // only the frame time counts
  le::Put64(&h[24], 7000);
  EXPECT_TRUE(s->IsValid());
  EXPECT_EQ(s->GetFrameLength(1), 1048u);
  EXPECT_EQ(s->GetHeaderLength(), 48u);
  EXPECT_EQ(s->GetPts(), 5000);
  EXPECT_EQ(s->GetWidth(), 1280);
  EXPECT_EQ(s->GetHeight(), 720);
  EXPECT_EQ(s->GetAuxValue(), 30u);
}

// A tag whose length is 0, shorter than its own fields, or wraps 32 bits is no frame: every
// walk that steps by a frame's length relies on a valid frame being at least 24 bytes long.
TEST(FrameStrategy, LengthsThatCannotBeAFrameAreNotValid) {
  CFrmStategy sel;
  struct Case {
    uint8_t headerLen;
    uint32_t payload;
    bool valid;
  } cases[] = {{0, 0, false},        {0, 5000, false},      {23, 100, false},
               {24, 0, true},        {224, 0, true},        {224, 0xFFFFFF1F, true},
               {224, 0xFFFFFF20, false}, {255, 0xFFFFFFFF, false}};
  for (const Case& c : cases) {
    auto h = Ptmf(c.headerLen, c.payload);
    ASSERT_EQ(sel.Select(h.data()), 0);
    EXPECT_EQ(sel.Current()->IsValid(), c.valid) << int{c.headerLen} << " " << c.payload;
    if (c.valid) {
      EXPECT_GE(sel.Current()->GetFrameLength(1), 24u);
    }
  }
  std::vector<uint8_t> f(48, 0);
  std::memcpy(f.data(), "FSFM", 4);
  le::Put32(&f[12], 0xFFFFFFD0);  // 48 + this wraps
  ASSERT_EQ(sel.Select(f.data()), 0);
  EXPECT_FALSE(sel.Current()->IsValid());
  le::Put32(&f[12], 0xFFFFFFCF);
  EXPECT_TRUE(sel.Current()->IsValid());

  // A short frame or a short buffer is never read past: no strategy below a header's fields.
  auto h = Ptmf(224, 10);
  EXPECT_EQ(sel.SelectWithin(h.data(), 23), -101);
  EXPECT_EQ(sel.Current(), nullptr);
  EXPECT_EQ(sel.SelectWithin(h.data(), 24), 0);
  EXPECT_EQ(sel.SelectWithin(f.data(), 47), -101);
  EXPECT_EQ(sel.SelectWithin(f.data(), 3), -101);
  // "FSFM" frames are placed on the time line by their frame time, not their pts.
  le::Put64(&f[16], 5);
  le::Put64(&f[24], 1700000000000);
  ASSERT_EQ(sel.SelectWithin(f.data(), 48), 0);
  EXPECT_EQ(sel.RangeTime(), 1700000000000);
  ASSERT_EQ(sel.Select(h.data()), 0);
  EXPECT_EQ(sel.RangeTime(), sel.Current()->GetPts());
}

TEST(FrameStrategy, ScanSkipsGarbageAndInvalidHeaders) {
  std::vector<uint8_t> data(400, 0x5A);
  auto bad = Ptmf(224, 10);
  bad[21] = 0x80;  // negative time: not a frame
  std::memcpy(&data[50], bad.data(), 24);
  auto good = Ptmf(224, 10);
  std::memcpy(&data[300], good.data(), 48);
  CFrmStategy sel;
  EXPECT_EQ(FindNextFrame(sel, data.data(), data.size(), 0), 300);
  EXPECT_EQ(FindNextFrame(sel, data.data(), 340, 0), -1);  // its 48 bytes are not all held
}

// Writes bits, most significant first; ue/se as H.264 codes them.
struct Bits {
  std::vector<uint8_t> bytes;
  int used = 8;
  void Bit(int b) {
    if (used == 8) {
      bytes.push_back(0);
      used = 0;
    }
    if (b) bytes.back() |= static_cast<uint8_t>(0x80 >> used);
    ++used;
  }
  void Put(uint32_t v, int n) {
    for (int i = n - 1; i >= 0; --i) Bit((v >> i) & 1);
  }
  void Ue(uint32_t v) {
    uint64_t x = uint64_t{v} + 1;
    int len = 0;
    while ((x >> len) > 1) ++len;
    for (int i = 0; i < len; ++i) Bit(0);
    for (int i = len; i >= 0; --i) Bit((x >> i) & 1);
  }
  void Se(int32_t v) { Ue(v > 0 ? 2 * v - 1 : -2 * v); }
};

std::vector<uint8_t> Sps(uint32_t profile, uint32_t wMinus1, uint32_t hMinus1, uint32_t pocType = 0) {
  Bits b;
  b.Put(0x67, 8);
  b.Put(profile, 8);
  b.Put(0, 8);   // constraint flags
  b.Put(31, 8);  // level
  b.Ue(0);       // sps id
  if (profile == 100) {
    b.Ue(1);  // chroma 4:2:0
    b.Ue(0);
    b.Ue(0);
    b.Bit(0);
    b.Bit(0);  // no scaling matrix
  }
  b.Ue(0);  // log2_max_frame_num_minus4
  b.Ue(pocType);
  if (pocType == 0) b.Ue(2);
  if (pocType == 1) {
    b.Bit(0);
    b.Se(-3);
    b.Se(2);
    b.Ue(2);
    b.Se(1);
    b.Se(-1);
  }
  b.Ue(1);  // max_num_ref_frames
  b.Bit(0);
  b.Ue(wMinus1);
  b.Ue(hMinus1);
  b.Bit(1);  // frame_mbs_only
  b.Bit(1);  // trailing
  std::vector<uint8_t> out = {0, 0, 0, 1};
  out.insert(out.end(), b.bytes.begin(), b.bytes.end());
  return out;
}

TEST(H264, SpsSizes) {
  int w = 0, h = 0;
  for (uint32_t profile : {66u, 100u}) {
    for (uint32_t poc : {0u, 1u, 2u}) {
      auto sps = Sps(profile, 79, 44, poc);
      ASSERT_TRUE(ParseSpsSize(w, h, sps.data(), sps.size())) << profile << " " << poc;
      EXPECT_EQ(w, 1280);
      EXPECT_EQ(h, 720);
    }
  }
  // After other NAL units, and followed by a PPS.
  std::vector<uint8_t> stream = {0, 0, 0, 1, 0x09, 0x10};
  auto sps = Sps(66, 21, 17);
  stream.insert(stream.end(), sps.begin(), sps.end());
  stream.insert(stream.end(), {0, 0, 0, 1, 0x68, 0xCE, 0x38, 0x80});
  ASSERT_TRUE(ParseSpsSize(w, h, stream.data(), stream.size()));
  EXPECT_EQ(w, 352);
  EXPECT_EQ(h, 288);
}

// What cameras send: an SPS whose nal_ref_idc is 1 or 2 (header 0x27, 0x47), a high-profile SPS
// with a scaling matrix, and a 1080-line picture coded as 1088 lines with a cropping window.
TEST(H264, SpsOfAnyNalRefIdcWithScalingListsAndCropping) {
  for (uint8_t header : {0x27, 0x47, 0x67}) {
    SCOPED_TRACE(static_cast<int>(header));
    Bits b;
    b.Put(header, 8);
    b.Put(100, 8);  // high profile
    b.Put(0, 8);
    b.Put(40, 8);
    b.Ue(0);   // sps id
    b.Ue(1);   // chroma 4:2:0
    b.Ue(0);   // bit depths
    b.Ue(0);
    b.Bit(0);
    b.Bit(1);  // seq_scaling_matrix_present_flag
    for (int i = 0; i < 8; ++i) {
      b.Bit(i == 0 || i == 6);  // lists 0 (4x4) and 6 (8x8) present
      if (i == 0)
        for (int k = 0; k < 16; ++k) b.Se(1);
      if (i == 6)
        for (int k = 0; k < 64; ++k) b.Se(1);  // never reaching 0: every delta is present
    }
    b.Ue(0);    // log2_max_frame_num_minus4
    b.Ue(0);    // pic_order_cnt_type
    b.Ue(2);
    b.Ue(1);    // max_num_ref_frames
    b.Bit(0);
    b.Ue(119);  // 120 macroblocks: 1920
    b.Ue(67);   // 68 macroblocks: 1088
    b.Bit(1);   // frame_mbs_only_flag
    b.Bit(1);   // direct_8x8_inference_flag
    b.Bit(1);   // frame_cropping_flag
    b.Ue(0);
    b.Ue(0);
    b.Ue(0);
    b.Ue(4);    // bottom: 4 x 2 lines
    b.Bit(0);   // no VUI
    b.Bit(1);
    std::vector<uint8_t> sps = {0, 0, 0, 1};
    sps.insert(sps.end(), b.bytes.begin(), b.bytes.end());
    int w = 0, h = 0;
    ASSERT_TRUE(ParseSpsSize(w, h, sps.data(), sps.size()));
    EXPECT_EQ(w, 1920);
    EXPECT_EQ(h, 1080);
  }
}

// Access units as cameras send them: a delimiter first, an SEI before the SPS. Each begins a
// new picture, and nothing of the next access unit stays with the one before.
TEST(H264, PicturesBeginAtTheirDelimiterOrSei) {
  const std::vector<std::vector<uint8_t>> nals = {
      {0x09, 0xF0},                    // AUD
      {0x67, 0x42, 0x00, 0x1E, 0xF4},  // SPS
      {0x68, 0xCE, 0x38, 0x80},        // PPS
      {0x65, 0x88, 0x84, 0x80},        // IDR, first_mb_in_slice 0
      {0x09, 0xF0},                    // AUD
      {0x41, 0x9A, 0x21, 0x80},        // P slice
      {0x06, 0x05, 0x01, 0x80},        // SEI, then the next key picture's parameter sets
      {0x27, 0x42, 0x00, 0x1E, 0xF4},  // SPS with nal_ref_idc 1
      {0x28, 0xCE, 0x38, 0x80},        // PPS with nal_ref_idc 1
      {0x65, 0x88, 0x84, 0x80},
  };
  std::vector<uint8_t> stream;
  for (const auto& n : nals) {
    stream.insert(stream.end(), {0, 0, 0, 1});
    stream.insert(stream.end(), n.begin(), n.end());
  }
  const std::vector<H264Picture> pictures = SplitPictures(stream.data(), stream.size());
  ASSERT_EQ(pictures.size(), 3u);
  EXPECT_TRUE(pictures[0].key);
  EXPECT_FALSE(pictures[1].key);
  EXPECT_TRUE(pictures[2].key);
  EXPECT_EQ(pictures[1].bytes[4], 0x09);
  EXPECT_EQ(pictures[1].bytes.size(), 2u * 4 + 2 + 4);  // its AUD and its slice, no more
  EXPECT_EQ(pictures[2].bytes[4], 0x06);
}

// A damaged SPS is refused, not read as a wrong picture size: each field outside the range the
// standard allows, and a profile byte that does not match the body (134 asks for the high
// profiles' chroma and bit-depth fields, which a Baseline body does not have).
TEST(H264, SpsWithFieldsOutOfRangeIsRefused) {
  struct Fields {
    uint32_t spsId = 0, log2FrameNum = 0, pocType = 0, log2PocLsb = 2, refFrames = 1;
  };
  const auto make = [](const Fields& f) {
    Bits b;
    b.Put(0x67, 8);
    b.Put(66, 8);
    b.Put(0, 8);
    b.Put(30, 8);
    b.Ue(f.spsId);
    b.Ue(f.log2FrameNum);
    b.Ue(f.pocType);
    if (f.pocType == 0) b.Ue(f.log2PocLsb);
    b.Ue(f.refFrames);
    b.Bit(0);
    b.Ue(19);  // 320
    b.Ue(14);  // 240
    b.Bit(1);
    b.Bit(1);
    b.Bit(0);
    b.Bit(0);
    b.Bit(1);
    std::vector<uint8_t> sps = {0, 0, 0, 1};
    sps.insert(sps.end(), b.bytes.begin(), b.bytes.end());
    return sps;
  };
  int w = 0, h = 0;
  auto good = make(Fields{});
  ASSERT_TRUE(ParseSpsSize(w, h, good.data(), good.size()));
  EXPECT_EQ(w, 320);
  EXPECT_EQ(h, 240);
  good[5] = 134;  // the profile byte damaged
  EXPECT_FALSE(ParseSpsSize(w, h, good.data(), good.size()));
  const std::pair<const char*, Fields> bad[] = {
      {"sps id 32", Fields{32, 0, 0, 2, 1}},   {"log2_max_frame_num 17", Fields{0, 13, 0, 2, 1}},
      {"poc type 3", Fields{0, 0, 3, 2, 1}},   {"log2_max_poc_lsb 17", Fields{0, 0, 0, 13, 1}},
      {"17 reference frames", Fields{0, 0, 0, 2, 17}},
  };
  for (const auto& [what, f] : bad) {
    auto sps = make(f);
    EXPECT_FALSE(ParseSpsSize(w, h, sps.data(), sps.size())) << what;
  }
}

TEST(H264, HostileOrCutSpsIsRefusedInsideItsBuffer) {
  int w = 0, h = 0;
  auto sps = Sps(66, 79, 44);
  for (size_t cut = 0; cut < sps.size() - 1; ++cut) {
    std::vector<uint8_t> part(sps.begin(), sps.begin() + cut);  // exact-size heap block
    EXPECT_FALSE(ParseSpsSize(w, h, part.data(), part.size())) << "cut at " << cut;
  }
  // A pic-order-count cycle of 2^32 - 2 entries ends at the data's end.
  Bits b;
  b.Put(0x67, 8);
  b.Put(66, 8);
  b.Put(0, 16);
  b.Ue(0);
  b.Ue(0);
  b.Ue(1);
  b.Bit(0);
  b.Se(0);
  b.Se(0);
  for (int i = 0; i < 31; ++i) b.Bit(0);
  b.Put(0x7FFFFFFF, 32);
  std::vector<uint8_t> hostile = {0, 0, 0, 1};
  hostile.insert(hostile.end(), b.bytes.begin(), b.bytes.end());
  EXPECT_FALSE(ParseSpsSize(w, h, hostile.data(), hostile.size()));
  // A cycle count of about 2^31 whose values run out exactly at the end of the data: the
  // values past the end must not be read in place for ever.
  Bits exact;
  exact.Put(0x67, 8);
  exact.Put(66, 8);
  exact.Put(0, 16);
  exact.Ue(0);
  exact.Ue(0);
  exact.Ue(1);
  exact.Bit(0);
  exact.Se(0);
  exact.Se(0);
  exact.Ue(0x7FFFFFF0);
  while (exact.used != 8) exact.Bit(1);  // values of 0, one bit each, to the last bit
  std::vector<uint8_t> spin = {0, 0, 0, 1};
  spin.insert(spin.end(), exact.bytes.begin(), exact.bytes.end());
  EXPECT_FALSE(ParseSpsSize(w, h, spin.data(), spin.size()));
  uint64_t pos = 8;  // values read at the end still move the position
  const uint8_t one = 0x80;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ReadUe(&one, 1, pos), 0u);
  EXPECT_EQ(pos, 11u);
  const std::vector<uint8_t> zeros(64, 0);
  EXPECT_FALSE(ParseSpsSize(w, h, zeros.data(), zeros.size()));
  EXPECT_FALSE(ParseSpsSize(w, h, nullptr, 10));
}

TEST(H264, ParamSetsAndExpGolomb) {
  auto sps = Sps(66, 79, 44);
  const std::vector<uint8_t> pps = {0, 0, 0, 1, 0x68, 0xCE, 0x38, 0x80};
  const std::vector<uint8_t> idr = {0, 0, 0, 1, 0x65, 0x88, 0x84, 0x00};
  std::vector<uint8_t> stream = sps;
  stream.insert(stream.end(), pps.begin(), pps.end());
  stream.insert(stream.end(), idr.begin(), idr.end());
  ParamSets sets;
  ASSERT_TRUE(FindParamSets(stream.data(), stream.size(), sets));
  ASSERT_EQ(sets.spsLength, sps.size());
  EXPECT_EQ(0, std::memcmp(sets.sps, sps.data(), sps.size()));
  ASSERT_EQ(sets.ppsLength, pps.size());
  EXPECT_EQ(0, std::memcmp(sets.pps, pps.data(), pps.size()));

  ParamSets onlyPps;
  EXPECT_FALSE(FindParamSets(pps.data(), pps.size(), onlyPps));
  // An SPS longer than its 64-byte slot is not taken (and nothing overflows).
  std::vector<uint8_t> longSps = sps;
  longSps.resize(200, 0x55);
  longSps.insert(longSps.end(), pps.begin(), pps.end());
  ParamSets sets2;
  EXPECT_FALSE(FindParamSets(longSps.data(), longSps.size(), sets2));
  EXPECT_EQ(sets2.spsLength, 0u);

  Bits b;
  for (uint32_t v : {0u, 1u, 2u, 7u, 254u, 65535u}) b.Ue(v);
  for (int32_t v : {0, 1, -1, 5, -6}) b.Se(v);
  uint64_t bit = 0;
  for (uint32_t v : {0u, 1u, 2u, 7u, 254u, 65535u})
    EXPECT_EQ(ReadUe(b.bytes.data(), b.bytes.size(), bit), v);
  for (int32_t v : {0, 1, -1, 5, -6}) EXPECT_EQ(ReadSe(b.bytes.data(), b.bytes.size(), bit), v);
  const uint8_t zero[4] = {};
  bit = 0;
  EXPECT_EQ(ReadUe(zero, 4, bit), 0xFFFFFFFFu);  // no one bit in reach
}

TEST(OneProcessFrame, AnswersUntilItsLayersAreInstalled) {
  COneProcessFrame f(4);
  char buf[16];
  EXPECT_EQ(f.Notify(1, 2, 3, 4, 5), 0);
  EXPECT_EQ(f.ReadFrame(buf, 16, 1, 0, 0), -2005);
  EXPECT_EQ(f.ReadFrame(buf, 16, 0, 0, 0), -2005);
  EXPECT_EQ(f.ReadReplayFrame(buf, 16, 4, 0), -101);
  EXPECT_EQ(f.ReadReplayFrame(buf, 16, 1, 0), -114);
  EXPECT_EQ(f.ReplayWait(1000, 1, 5), -106);
  EXPECT_EQ(f.ReplayWait(1000, 1, 4), 0);
  f.SetFifoRead([](int index, void*, int size) { return index * 1000 + size; });
  EXPECT_EQ(f.ReadFrame(buf, 16, 0, 3, 0), 3016);
}

}  // namespace
