// The ASF packaging: header objects and packets as bytes, then whole files written by CAsfFile
// (an output file and a record file on a disk) checked with ffprobe and ffmpeg, appending a
// segment, and the repair of files the power or damage cut short.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

#include "api/context.h"
#include "disklayout/le.h"
#include "qvfs/qvfs.h"
#include "record/asf_file.h"
#include "record/asf_format.h"
#include "record/record_reader.h"
#include "record/record_format.h"
#include "media_clips.h"
#include "test_support.h"

using testsupport::LibraryTest;
using testsupport::ReadFileBytes;
using testsupport::RunCommand;

namespace {

constexpr int64_t kT0 = 1700000000000;
constexpr uint32_t kRegionBytes = 64 << 20;

TEST(AsfPackaging, HeaderEndsFiftyBytesBeforeTheDataAndReadsBack) {
  std::vector<uint8_t> image(recfile::kDataOffset, 0xEE);
  asf::HeaderSettings s;
  s.fileId = asf::GuidFromText("01234567-89AB-CDEF-0123-456789ABCDEF");
  s.width = 704;
  s.height = 576;
  s.codecData = {0, 0, 0, 1, 0x67, 1, 2, 3, 0, 0, 0, 1, 0x68, 4};
  const uint32_t paddingData = asf::WriteHeaderObjects(s, image.data());
  EXPECT_LT(paddingData, recfile::kAsfHeadOffset);  // the record head lies in the padding
  EXPECT_EQ(image[paddingData], 0xEE);                // and the padding's bytes are left alone
  EXPECT_EQ(le::Get64(&image[16]), recfile::kDataOffset - 50u);
  EXPECT_EQ(le::Get32(&image[24]), 6u);
  // The file id is stored with its first three groups little-endian.
  EXPECT_EQ(image[30 + 24], 0x67);
  EXPECT_EQ(image[30 + 24 + 8], 0x01);
  asf::HeaderSettings back;
  ASSERT_TRUE(asf::ReadHeaderSettings(image.data(), image.size(), &back));
  EXPECT_EQ(back.fileId, s.fileId);
  EXPECT_EQ(back.width, 704u);
  EXPECT_EQ(back.codecData, s.codecData);
  image[0] ^= 1;
  EXPECT_FALSE(asf::ReadHeaderSettings(image.data(), image.size(), &back));
}

// Objects of every awkward size go into packets and come back whole, in order.
TEST(AsfPackaging, PacketsCarryObjectsWholeInSingleAndMultiplePayloadForms) {
  std::vector<std::vector<uint8_t>> objects;
  for (uint32_t size : {1u, 80u, 32700u, 32737u, 32738u, 100000u}) objects.push_back(
      testsupport::Pattern(size, size));
  for (int k = 0; k < 70; ++k) objects.push_back(testsupport::Pattern(10 + k, k));
  std::vector<std::vector<uint8_t>> packets;
  asf::Packetizer p([&](const uint8_t* pk) {
    packets.emplace_back(pk, pk + asf::kPacketBytes);
    return true;
  });
  for (size_t k = 0; k < objects.size(); ++k)
    ASSERT_TRUE(p.Add(1, k == 0, static_cast<uint8_t>(k), static_cast<uint32_t>(3100 + k),
                      objects[k].data(), static_cast<uint32_t>(objects[k].size())));
  ASSERT_TRUE(p.Finish());
  EXPECT_EQ(p.packetsDone(), packets.size());

  std::map<int, std::vector<uint8_t>> rebuilt;
  bool sawSingle = false, sawMulti = false;
  std::vector<asf::Payload> payloads;
  for (auto& pk : packets) {
    ASSERT_TRUE(asf::ParsePacket(pk.data(), asf::kPacketBytes, &payloads));
    ASSERT_LE(payloads.size(), 63u);
    (payloads.size() == 1 ? sawSingle : sawMulti) = true;
    EXPECT_EQ(pk[3], payloads.size() == 1 ? 0x10 : 0x11);
    for (auto& pl : payloads) {
      auto& obj = rebuilt[pl.objectNo];
      ASSERT_EQ(obj.size(), pl.objectOffset);
      obj.insert(obj.end(), pl.data, pl.data + pl.length);
      EXPECT_EQ(pl.presMs, 3100u + pl.objectNo);
    }
  }
  EXPECT_TRUE(sawSingle && sawMulti);
  ASSERT_EQ(rebuilt.size(), objects.size());
  for (size_t k = 0; k < objects.size(); ++k) EXPECT_EQ(rebuilt[static_cast<int>(k)], objects[k]);
  // A length that points outside the packet is refused.
  packets[0][5] = 0xFF;
  packets[0][6] = 0xFF;
  EXPECT_FALSE(asf::ParsePacket(packets[0].data(), asf::kPacketBytes, &payloads));
}

class AsfFileTest : public LibraryTest {
 protected:
  // Writes `pictures` pictures of the clip (looped, 40 ms apart) with an audio piece after each.
  void WriteClip(CAsfFile& w, int pictures, int64_t t0, uint32_t* no = nullptr) {
    const auto& clip = testsupport::TestClip();
    ASSERT_FALSE(clip.pictures.empty());
    uint32_t n = no ? *no : 0;
    for (int i = 0; i < pictures; ++i) {
      const size_t k = static_cast<size_t>(i) % clip.pictures.size();
      auto v = testsupport::TaggedFrame(clip.key[k] ? 'I' : 'P', t0 + i * 40, clip.pictures[k], n++);
      ASSERT_EQ(w.WriteFrame(v.data(), static_cast<uint32_t>(v.size())),
                static_cast<int>(v.size())) << "picture " << i;
      auto a = testsupport::TaggedFrame('A', t0 + i * 40 + 5,
                                        clip.audio[static_cast<size_t>(i) % clip.audio.size()], n++);
      ASSERT_EQ(w.WriteFrame(a.data(), static_cast<uint32_t>(a.size())),
                static_cast<int>(a.size()));
    }
    if (no) *no = n;
  }
  std::string Probe(const std::string& file, const std::string& args) {
    return RunCommand("ffprobe -v error " + args + " -of csv=p=0 '" + file + "' 2>&1");
  }
  int CountVideoFrames(const std::string& file) {
    return std::atoi(Probe(file, "-select_streams v -count_frames -show_entries "
                                 "stream=nb_read_frames").c_str());
  }
  // What ffmpeg says while decoding the whole file (nothing when all is well).
  std::string DecodeErrors(const std::string& file) {
    return RunCommand("ffmpeg -v error -i '" + file + "' -f null - 2>&1");
  }
  // Packets in [0, dataEnd) where a video key frame begins: what the index must name.
  std::vector<uint32_t> KeyPackets(const std::string& file, uint32_t dataEnd) {
    std::vector<uint32_t> out;
    std::vector<asf::Payload> payloads;
    for (uint32_t off = recfile::kDataOffset; off < dataEnd; off += asf::kPacketBytes) {
      auto pk = ReadFileBytes(file, off, asf::kPacketBytes);
      EXPECT_TRUE(asf::ParsePacket(pk.data(), asf::kPacketBytes, &payloads));
      for (const auto& p : payloads)
        if (p.key && p.objectOffset == 0 && p.stream == 1) {
          out.push_back(off);
          break;
        }
    }
    return out;
  }
  std::vector<uint32_t> IndexOffsets(const std::vector<uint8_t>& headBlockAndIndex) {
    std::vector<recfile::IndexEntry> index;
    recfile::ParseIndexArea(headBlockAndIndex.data() + recfile::kIndexOffset,
                            recfile::kIndexAreaBytes, &index, nullptr);
    std::vector<uint32_t> out;
    for (const auto& e : index) out.push_back(e.offset);
    return out;
  }
  recfile::RecordHead HeadAt(const std::vector<uint8_t>& bytes) {
    recfile::RecordHead h;
    std::memcpy(&h, bytes.data() + recfile::kAsfHeadOffset, sizeof h);
    return h;
  }
  // Formats a 1 GiB record disk image with 64 MiB record files; returns the drive.
  std::string RecordDisk() {
    const std::string drive = AttachImage(1ull << 30, 512, false, "asf.img");
    EXPECT_GT(QVFS_FormatToRecdisk(drive.c_str(), 64, 0), 0);
    return drive;
  }
  // Copies record file N of the image into an ordinary file of `bytes` bytes.
  std::string ExtractRegion(const std::string& drive, uint32_t fileIndex, uint32_t bytes) {
    const uint64_t at = ctx_->get().diskWatch().RecordFileLba(drive, fileIndex) * 512;
    const std::string out = tmp_.File("region" + std::to_string(fileIndex) + ".asf");
    auto data = ReadFileBytes(imagePath_, at, bytes);
    testsupport::WriteFileBytes(out, 0, data.data(), data.size());
    return out;
  }
};

TEST_F(AsfFileTest, OutputFilePlaysInFfmpegAndKeepsTheRecordHead) {
  const std::string out = tmp_.File("CH00_backup.asf");
  CAsfFile w(0);
  RecordDescriptor d;
  d.recordSN = 77;
  std::strcpy(d.text1, "first");
  std::strcpy(d.text2, "WIN32 SIMULATE RECORDER");
  EXPECT_EQ(w.OpenNew("", 0, 0, kT0, &d), -2010);
  ASSERT_EQ(w.OpenNew(out, 0, 0, kT0, &d), 0);
  auto p = testsupport::TaggedFrame('P', kT0, {0, 0, 0, 1, 0x41, 1}, 0);
  EXPECT_EQ(w.WriteFrame(p.data(), static_cast<uint32_t>(p.size())), -4013);
  WriteClip(w, 50, kT0);
  ASSERT_EQ(w.Close(), 0);
  const uint32_t packets = w.packets();

  EXPECT_EQ(Probe(out, "-show_entries stream=codec_name,width,height"),
            "h264,320,240\nadpcm_g726\n");
  EXPECT_EQ(CountVideoFrames(out), 50);
  EXPECT_EQ(DecodeErrors(out), "");
  const double duration = std::atof(Probe(out, "-show_entries format=duration").c_str());
  EXPECT_NEAR(duration, 2.0, 0.15);

  auto bytes = ReadFileBytes(out, 0, recfile::kDataOffset);
  EXPECT_EQ(recfile::FindHead(bytes.data(), recfile::kHeadBlockBytes), 1024);
  const recfile::RecordHead h = HeadAt(bytes);
  EXPECT_EQ(h.state, recfile::kStateClosed);
  EXPECT_EQ(h.recordSN, 77u);
  EXPECT_STREQ(h.text2, "WIN32 SIMULATE RECORDER");
  EXPECT_EQ(h.startTime, kT0);
  EXPECT_EQ(h.endTime, kT0 + 49 * 40 + 5);
  EXPECT_EQ(h.indexCount, 0u);  // an output file has no record index
  EXPECT_EQ(h.dataEnd, recfile::kDataOffset + packets * asf::kPacketBytes);
  // The Simple Index Object follows the packets and ends the file.
  auto tail = ReadFileBytes(out, h.dataEnd, 56);
  const asf::Guid simpleIndex = asf::GuidFromText("33000890-E5B1-11CF-89F4-00A0C90349CB");
  EXPECT_EQ(0, std::memcmp(tail.data(), simpleIndex.data(), 16));
  EXPECT_EQ(h.fileSize, h.dataEnd + le::Get64(&tail[16]));
  EXPECT_EQ(le::Get32(&tail[52]), 1u + (49 * 40 + 5 + 3100) / 2000);  // one entry per 2 s
}

// The record reader plays an ASF-packaged file like a native one: every frame comes back with
// its type, time and payload.
TEST_F(AsfFileTest, TheRecordReaderPlaysTheFileBack) {
  const std::string out = tmp_.File("CH01_read.asf");
  {
    CAsfFile w(1);
    ASSERT_EQ(w.OpenNew(out, 0, 0, kT0, nullptr), 0);
    WriteClip(w, 120, kT0);
    ASSERT_EQ(w.Close(), 0);
  }
  const auto& clip = testsupport::TestClip();
  CRecordReader r;
  ASSERT_EQ(r.Open(out, 0, 0, 0, true), 0);
  std::vector<uint8_t> buf(1 << 20);
  int i = 0, n;
  while ((n = r.GetFrame(buf.data(), static_cast<uint32_t>(buf.size()))) > 0) {
    const int picture = i / 2;
    const bool audio = i % 2 == 1;
    const size_t k = static_cast<size_t>(picture) % clip.pictures.size();
    const auto& payload = audio ? clip.audio[static_cast<size_t>(picture) % clip.audio.size()]
                                : clip.pictures[k];
    ASSERT_EQ(static_cast<size_t>(n), 224 + payload.size()) << "frame " << i;
    EXPECT_EQ(buf[5], audio ? 'A' : clip.key[k] ? 'I' : 'P') << "frame " << i;
    EXPECT_EQ(0, std::memcmp(buf.data() + 224, payload.data(), payload.size())) << "frame " << i;
    const int64_t pts = le::Get32(&buf[16]) | int64_t{le::Get16(&buf[20])} << 32;
    EXPECT_EQ(pts, kT0 + picture * 40 + (audio ? 5 : 0)) << "frame " << i;
    ++i;
  }
  EXPECT_EQ(n, -3003);
  EXPECT_EQ(i, 240);
}

TEST_F(AsfFileTest, RecordDiskFileIndexesTheKeyFramePackets) {
  const std::string drive = RecordDisk();
  CAsfFile w(3);
  ASSERT_EQ(w.OpenNew(drive, 2, kRegionBytes, kT0, nullptr), 0);
  WriteClip(w, 200, kT0);
  ASSERT_EQ(w.Close(), 0);
  const uint32_t packets = w.packets();

  const std::string copy = ExtractRegion(drive, 2, recfile::kDataOffset + packets * asf::kPacketBytes + 4096);
  auto bytes = ReadFileBytes(copy, 0, recfile::kDataOffset);
  const recfile::RecordHead h = HeadAt(bytes);
  EXPECT_EQ(h.fileSize, kRegionBytes);
  EXPECT_EQ(h.channel, 3);
  // One entry per packet in which key frames begin (small pictures: two can share one).
  const std::vector<uint32_t> keyPackets = KeyPackets(copy, h.dataEnd);
  EXPECT_GE(keyPackets.size(), 4u);
  EXPECT_EQ(IndexOffsets(bytes), keyPackets);
  EXPECT_EQ(h.indexCount, keyPackets.size());
  EXPECT_EQ(CountVideoFrames(copy), 200);
  EXPECT_EQ(DecodeErrors(copy), "");

  // Fast forward through the reader: the key frames of the index, in order.
  CRecordReader r;
  ASSERT_EQ(r.Open(drive, 2, 0, 0, true), 0);
  r.SetPlayMode(kModeFast, 4);
  ASSERT_EQ(r.SeekToTime(kT0, true), 0);  // drops what a refill in normal mode put there
  std::vector<uint8_t> buf(1 << 20);
  std::vector<int64_t> times;
  int n;
  while ((n = r.GetFrame(buf.data(), static_cast<uint32_t>(buf.size()))) > 0) {
    EXPECT_EQ(buf[5], 'I');
    times.push_back(le::Get32(&buf[16]) | int64_t{le::Get16(&buf[20])} << 32);
  }
  ASSERT_EQ(times.size(), keyPackets.size());
  EXPECT_EQ(times.front(), kT0);
  EXPECT_TRUE(std::is_sorted(times.begin(), times.end()));
}

TEST_F(AsfFileTest, AppendingASegmentContinuesThePackets) {
  const std::string drive = RecordDisk();
  uint32_t no = 0;
  {
    CAsfFile w(1);
    ASSERT_EQ(w.OpenNew(drive, 0, kRegionBytes, kT0, nullptr), 0);
    WriteClip(w, 60, kT0, &no);
    ASSERT_EQ(w.Close(), 0);
  }
  CAsfFile w(1);
  _rec_file_info_ info{};
  info.fileIndex = 0;
  info.segmentNo = 0;
  info.startMs = kT0 + 5000;
  ASSERT_EQ(w.OpenAppend(drive, info, kRegionBytes, kT0 + 60 * 40), 0);
  EXPECT_EQ(w.head().state, recfile::kStateAppending);
  WriteClip(w, 50, kT0 + 5000, &no);
  ASSERT_EQ(w.Close(), 0);
  const uint32_t packets = w.packets();
  const std::string copy = ExtractRegion(drive, 0, recfile::kDataOffset + packets * asf::kPacketBytes + 4096);
  auto bytes = ReadFileBytes(copy, 0, recfile::kDataOffset);
  EXPECT_EQ(HeadAt(bytes).segCount, 2u);
  auto segs = recfile::ParseSegments(bytes.data(), recfile::kHeadBlockBytes, 1536);
  ASSERT_EQ(segs.size(), 2u);
  EXPECT_EQ(segs[1].segNo, 1u);
  EXPECT_EQ(CountVideoFrames(copy), 110);
  EXPECT_EQ(DecodeErrors(copy), "");
}

// Power goes at several points; repair keeps a playable file whose index names key-frame
// packets and whose data end covers only whole media objects.
TEST_F(AsfFileTest, RepairAfterPowerCutsKeepsAPlayableFile) {
  const std::string drive = RecordDisk();
  int repaired = 0;
  const int cuts[] = {2, 5, 9, 17, 40};
  for (int c = 0; c < 5; ++c) {
    const uint32_t fileIndex = static_cast<uint32_t>(c + 1);
    faults_->CutPowerAfterWrites(cuts[c]);
    {
      CAsfFile w(4);
      if (w.OpenNew(drive, fileIndex, kRegionBytes, kT0, nullptr) == 0) {
        const auto& clip = testsupport::TestClip();
        for (int i = 0; i < 300; ++i) {
          const size_t k = static_cast<size_t>(i) % clip.pictures.size();
          auto v = testsupport::TaggedFrame(clip.key[k] ? 'I' : 'P', kT0 + i * 40,
                                            clip.pictures[k], static_cast<uint32_t>(i));
          if (w.WriteFrame(v.data(), static_cast<uint32_t>(v.size())) < 0) break;
        }
      }
    }
    faults_->CutPowerAfterWrites(-1);
    CAsfFile fixer(4);
    uint32_t end = 0;
    int64_t endTime = 0;
    const int r = fixer.RepairFile(drive, fileIndex, kRegionBytes, 0, 0, &end, &endTime);
    if (r == recfile::ERR_RECFILE_NOT_RECORD) continue;  // the cut came before the header
    ASSERT_EQ(r, 0) << "cut after " << cuts[c] << " writes";
    ++repaired;
    const std::string copy = ExtractRegion(drive, fileIndex, end + 4096);
    auto bytes = ReadFileBytes(copy, 0, recfile::kDataOffset);
    const recfile::RecordHead h = HeadAt(bytes);
    EXPECT_EQ(h.state, recfile::kStateClosed);
    EXPECT_EQ(h.dataEnd, end);
    EXPECT_EQ(h.endTime, endTime);
    if (end == recfile::kDataOffset) {
      EXPECT_EQ(endTime, kT0);  // nothing reached the disk but the header
      continue;
    }
    // Every picture up to the end time is there, and none after it.
    EXPECT_EQ(CountVideoFrames(copy), static_cast<int>((endTime - kT0) / 40 + 1))
        << "cut " << cuts[c];
    EXPECT_EQ(DecodeErrors(copy), "");
    EXPECT_EQ(IndexOffsets(bytes), KeyPackets(copy, end));
  }
  EXPECT_GE(repaired, 3);
}

// Damage in the middle of a file ends the repair's scan there: a media object number out of
// sequence, or a media object larger than 1 MiB.
TEST_F(AsfFileTest, RepairStopsAtDamagedPackets) {
  // 0: a wrong media object number; 1: an object larger than any.
  for (int damage = 0; damage < 2; ++damage) {
    const std::string out = tmp_.File("damaged" + std::to_string(damage) + ".asf");
    uint32_t bad = 0;  // the packet to damage
    {
      CAsfFile w(0);
      ASSERT_EQ(w.OpenNew(out, 0, 0, kT0, nullptr), 0);
      WriteClip(w, 400, kT0);
      ASSERT_EQ(w.Close(), 0);
      bad = w.packets() / 2;
      ASSERT_GE(bad, 4u);
    }
    const uint32_t at = recfile::kDataOffset + bad * asf::kPacketBytes;
    auto pk = ReadFileBytes(out, at, asf::kPacketBytes);
    std::vector<asf::Payload> payloads;
    ASSERT_TRUE(asf::ParsePacket(pk.data(), asf::kPacketBytes, &payloads));
    const size_t first = static_cast<size_t>(payloads[0].data - pk.data()) -
                         (pk[3] == 0x11 ? 17 : 15);
    if (damage == 0) {
      pk[first + 1] = static_cast<uint8_t>(payloads[0].objectNo + 7);
    } else {
      le::Put32(&pk[first + 7], 0x200000);
      le::Put32(&pk[first + 2], 0);
    }
    testsupport::WriteFileBytes(out, at, pk.data(), pk.size());
    CAsfFile fixer(0);
    uint32_t end = 0;
    int64_t endTime = 0;
    ASSERT_EQ(fixer.RepairFile(out, 0, 0, 0, 0, &end, &endTime), 0);
    EXPECT_LE(end, at) << "damage " << damage;
    EXPECT_GE(end, at - 2 * asf::kPacketBytes);
    EXPECT_LT(endTime, kT0 + 400 * 40) << damage;
    EXPECT_TRUE(Printed(damage == 0 ? "Error media num" : "too big")) << damage;
    EXPECT_EQ(DecodeErrors(out), "");
  }
}

// A presentation time damaged to a day ahead in the last packet: the repair keeps the packets
// (a later segment may legitimately start much later), and the Simple Index covers no more
// time than the packets can hold instead of 43,200 two-second intervals.
TEST_F(AsfFileTest, ADamagedTimeNeverMakesAHugeIndex) {
  const std::string out = tmp_.File("far.asf");
  uint32_t packets = 0;
  {
    CAsfFile w(0);
    ASSERT_EQ(w.OpenNew(out, 0, 0, kT0, nullptr), 0);
    WriteClip(w, 200, kT0);
    ASSERT_EQ(w.Close(), 0);
    packets = w.packets();
  }
  const uint32_t at = recfile::kDataOffset + (packets - 1) * asf::kPacketBytes;
  auto pk = ReadFileBytes(out, at, asf::kPacketBytes);
  std::vector<asf::Payload> payloads;
  ASSERT_TRUE(asf::ParsePacket(pk.data(), asf::kPacketBytes, &payloads));
  size_t k = 0;
  while (k < payloads.size() && payloads[k].objectOffset != 0) ++k;
  ASSERT_LT(k, payloads.size());
  // The object's presentation time: after stream, object number, offset, the replicated
  // data's length and the object size.
  const size_t header = static_cast<size_t>(payloads[k].data - pk.data()) -
                        (pk[3] == 0x11 ? 17 : 15);
  le::Put32(&pk[header + 11], payloads[k].presMs + 86400000);
  testsupport::WriteFileBytes(out, at, pk.data(), pk.size());
  CAsfFile fixer(0);
  uint32_t end = 0;
  int64_t endTime = 0;
  ASSERT_EQ(fixer.RepairFile(out, 0, 0, 0, 0, &end, &endTime), 0);
  struct stat st {};
  ASSERT_EQ(stat(out.c_str(), &st), 0);
  const uint64_t indexBytes = static_cast<uint64_t>(st.st_size) - end;
  EXPECT_LE(indexBytes, 56u + 6u * asf::MaxIndexEntriesFor(packets) + 512u);
  EXPECT_LT(indexBytes, 43200u * 6u);
  EXPECT_EQ(end, at + asf::kPacketBytes);  // every packet kept
}

// A head whose segment-table offset was damaged (far past the head block, or over the head
// itself): appending and repairing write the table where it belongs, inside the head block.
TEST_F(AsfFileTest, ADamagedSegmentTableOffsetNeverSendsAWriteOutsideTheHeadBlock) {
  for (uint32_t damaged : {0xFFFFFF00u, 0x1FC0u, 1024u}) {
    const std::string out = tmp_.File("seg" + std::to_string(damaged) + ".asf");
    {
      CAsfFile w(0);
      ASSERT_EQ(w.OpenNew(out, 0, 0, kT0, nullptr), 0);
      WriteClip(w, 60, kT0);
      ASSERT_EQ(w.Close(), 0);
    }
    const uint32_t field = recfile::kAsfHeadOffset + offsetof(recfile::RecordHead, segTableOffset);
    uint8_t word[4];
    le::Put32(word, damaged);
    testsupport::WriteFileBytes(out, field, word, 4);
    _rec_file_info_ info{};
    info.startMs = kT0 + 5000;
    {
      CAsfFile w(0);
      ASSERT_EQ(w.OpenAppend(out, info, 0, kT0 + 60 * 40), 0) << damaged;
      WriteClip(w, 20, kT0 + 5000);
      ASSERT_EQ(w.Close(), 0);
    }
    testsupport::WriteFileBytes(out, field, word, 4);
    CAsfFile fixer(0);
    uint32_t end = 0;
    int64_t endTime = 0;
    ASSERT_EQ(fixer.RepairFile(out, 0, 0, 0, 0, &end, &endTime), 0) << damaged;
    auto bytes = ReadFileBytes(out, 0, recfile::kDataOffset);
    const recfile::RecordHead h = HeadAt(bytes);
    EXPECT_EQ(h.segTableOffset, 1536u) << damaged;
    EXPECT_GE(recfile::ParseSegments(bytes.data(), recfile::kHeadBlockBytes, 1536).size(), 1u);
    EXPECT_EQ(DecodeErrors(out), "") << "the ASF header objects are intact";
  }
}

}  // namespace
