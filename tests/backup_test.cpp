// The backup engine on a disk image with recordings of a real H.264 clip with G.726 audio:
// .asf files that ffprobe reads with every picture, .bin containers the record reader plays
// back frame for frame, the checks before a backup, names, no overwriting, a record without a
// key frame, a stop in the middle, the .bin index limit, and the export of a record file.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <vector>

#include "api/context.h"
#include "backup/backup_engine.h"
#include "backup/aac_conversion.h"
#include "backup/bin_container.h"
#include "backup/mp4_writer.h"
#include "indexed_recording.h"
#include "index/record_search.h"
#include "media_clips.h"
#include "qvfs/qvfs.h"
#include "record/h264.h"
#include "record/record_reader.h"
#include "test_support.h"

using testsupport::LibraryTest;
using testsupport::MediaClip;
using testsupport::RunCommand;
using testsupport::TaggedFrame;

namespace {

constexpr int64_t kT0 = 1767607200000;  // 2026-01-05 10:00:00 UTC

std::mutex g_statusMutex;
std::vector<std::pair<int, int>> g_progress;  // 0x8006 reports: percent, error
void OnStatus(int code, const void* data, int length) {
  if (code != kStatusBackupProgress || length < 8) return;
  int32_t v[2];
  std::memcpy(v, data, sizeof v);
  std::lock_guard<std::mutex> g(g_statusMutex);
  g_progress.emplace_back(v[0], v[1]);
}

struct FrameFacts {
  char type;
  int64_t pts;
  uint32_t size;
  bool operator==(const FrameFacts& o) const {
    return type == o.type && pts == o.pts && size == o.size;
  }
};

class BackupTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    drive_ = MakeRecordDisk(4, "backup.img");
    ASSERT_FALSE(drive_.empty());
    ctx_->get().shared().SetStatusCallback(OnStatus);
    g_progress.clear();
    out_ = tmp_.path() + "/out";
    ::mkdir(out_.c_str(), 0755);
  }
  void TearDown() override {
    StopLibraryThreads();
    LibraryTest::TearDown();
  }
  // `seconds` of the clip on a channel from t0, video and audio interleaved.
  void Record(int channel, int64_t t0, int seconds) {
    ASSERT_GE(testsupport::RecordIndexed(ctx_->get(), channel,
                                         testsupport::ClipFrames(t0, seconds * 25, true)),
              0);
  }
  std::vector<BackupEngine::Output> Backup(std::vector<_rec_file_info_> list, int type) {
    EXPECT_EQ(QVFS_BackupSrcLstStart(list.data(), static_cast<int>(list.size()), type,
                                     out_.c_str()),
              0);
    ctx_->get().backup().Wait();
    return ctx_->get().backup().Outputs();
  }
  // The frames a record reader plays from an ordinary file (or from record file k).
  static std::vector<FrameFacts> FramesOf(CRecordReader& reader) {
    std::vector<FrameFacts> out;
    std::vector<uint8_t> buf(1 << 20);
    CFrmStategy sel;
    for (;;) {
      const int n = reader.GetFrame(buf.data(), static_cast<uint32_t>(buf.size()));
      if (n <= 0) break;
      if (sel.Select(buf.data()) != 0) continue;
      out.push_back({static_cast<char>(sel.Current()->GetFrameType()), sel.Current()->GetPts(),
                     static_cast<uint32_t>(n)});
    }
    return out;
  }
  static double ZeroCrossingsPerSecond(const std::string& path) {
    const std::string pcm =
        RunCommand("ffmpeg -v error -i '" + path + "' -vn -f s16le -ac 1 -ar 8000 - 2>/dev/null");
    const size_t samples = pcm.size() / 2;
    if (samples < 8000) return 0;
    int crossings = 0;
    int16_t prev = 0;
    for (size_t i = 0; i < samples; ++i) {
      int16_t v;
      std::memcpy(&v, pcm.data() + 2 * i, 2);
      if ((v >= 0) != (prev >= 0)) ++crossings;
      prev = v;
    }
    return crossings * 8000.0 / static_cast<double>(samples);
  }
  std::string Probe(const std::string& path, const std::string& what) {
    return RunCommand("ffprobe -v error " + what + " -of csv=p=0 '" + path + "' 2>&1");
  }
  std::string drive_, out_;
};

TEST_F(BackupTest, AsfAndBinBackupsHoldTheRecording) {
  Record(0, kT0, 6);
  const std::vector<_rec_file_info_> list = Recordings(0);
  ASSERT_EQ(list.size(), 1u);

  auto outputs = Backup(list, kBackupAsf);
  ASSERT_EQ(outputs.size(), 1u);
  EXPECT_EQ(outputs[0].result, 0);
  EXPECT_EQ(outputs[0].path, out_ + "/CH01_2026-01-05_10_00_00__10_00_05.asf");
  EXPECT_EQ(Probe(outputs[0].path, "-select_streams v -count_frames -show_entries "
                                   "stream=codec_name,width,height,nb_read_frames"),
            "h264,320,240,150\n");
  EXPECT_EQ(RunCommand("ffmpeg -v error -i '" + outputs[0].path + "' -f null - 2>&1"), "");
  {
    std::lock_guard<std::mutex> g(g_statusMutex);
    ASSERT_FALSE(g_progress.empty());
    EXPECT_EQ(g_progress.back(), std::make_pair(100, 0));
  }
  EXPECT_EQ(QVFS_BackupGetProgress(), 100);

  // The .bin container is a record file: the reader plays it back frame for frame.
  outputs = Backup(list, kBackupBin);
  ASSERT_EQ(outputs.size(), 1u);
  EXPECT_EQ(outputs[0].result, 0);
  CRecordReader fromBin, fromDisk;
  ASSERT_EQ(fromBin.OpenFile(outputs[0].path, list[0]), 0);
  ASSERT_EQ(fromDisk.OpenRecord(list[0], list[0].startMs, true), 0);
  const auto backed = FramesOf(fromBin), recorded = FramesOf(fromDisk);
  EXPECT_EQ(backed.size(), 300u);
  EXPECT_TRUE(backed == recorded);
  EXPECT_EQ(fromBin.index().size(), 6u + 150u);  // a key frame a second, and every audio frame
}

TEST_F(BackupTest, ChecksBeforeABackupAndOneBackupAtATime) {
  Record(1, kT0, 2);
  std::vector<_rec_file_info_> list = Recordings(1);
  BackupEngine& e = ctx_->get().backup();
  EXPECT_EQ(QVFS_BackupSrcLstStart(list.data(), 1, 0, (out_ + "/missing").c_str()), -4000);
  std::vector<_rec_file_info_> empty = list;
  empty[0].size = 0;
  EXPECT_EQ(QVFS_BackupSrcLstStart(empty.data(), 1, 0, out_.c_str()), -4002);
  EXPECT_EQ(QVFS_BackupSrcLstStart(nullptr, 1, 0, out_.c_str()), -2005);
  EXPECT_EQ(QVFS_BackupSrcLstStart(list.data(), 0, 0, out_.c_str()), -116);
  EXPECT_EQ(QVFS_BackupSrcLstStart(list.data(), 1, 0, nullptr), -101);
  // More than the destination can take (a thousand records of 2 GB each).
  std::vector<_rec_file_info_> huge(1000, list[0]);
  for (auto& r : huge) r.size = INT32_MAX;
  EXPECT_EQ(QVFS_BackupSrcLstStart(huge.data(), 1000, 0, out_.c_str()), -4001);
  // The exported form: searched RecordItems.
  std::vector<RecordItem> items(16);
  ASSERT_EQ(QVFS_SearchRec(items.data(), static_cast<int>(items.size() * sizeof items[0]), 0,
                           UINT32_MAX, 1 << 1, 0, 0, 0, 1),
            1);  // one segment record, grown by each progress update
  items[1] = items[0];  // twice: the second output gets a name of its own
  EXPECT_EQ(QVFS_BackupStart(items.data(), 2, kBackupAsf, out_.c_str()), 0);
  e.Wait();
  EXPECT_EQ(e.Outputs().size(), 2u);
  EXPECT_EQ(QVFS_BackupStart(nullptr, 1, 0, out_.c_str()), -2005);
  EXPECT_EQ(QVFS_BackupStart(items.data(), 0, 0, out_.c_str()), -116);
  // A second backup (or a new queue) while one runs is refused.
  std::vector<_rec_file_info_> many(20, list[0]);
  ASSERT_EQ(QVFS_BackupSrcLstStart(many.data(), 20, kBackupBin, out_.c_str()), 0);
  EXPECT_EQ(QVFS_BackupSrcLstStart(list.data(), 1, kBackupAsf, out_.c_str()), -98);
  EXPECT_EQ(e.Start(), -98);
  e.Wait();
  // Nothing is overwritten: the same record again and again gets " (1)", " (2)", ...
  const auto outputs = e.Outputs();
  ASSERT_EQ(outputs.size(), 20u);
  EXPECT_EQ(outputs[0].path, out_ + "/CH02_2026-01-05_10_00_00__10_00_01.bin");
  EXPECT_EQ(outputs[1].path, out_ + "/CH02_2026-01-05_10_00_00__10_00_01 (1).bin");
  EXPECT_EQ(outputs[19].path, out_ + "/CH02_2026-01-05_10_00_00__10_00_01 (19).bin");
}

TEST_F(BackupTest, AnUnreadableRecordIsSkippedAndAStopKeepsAPlayableFile) {
  Record(2, kT0 + 60000, 60);
  std::vector<_rec_file_info_> list = Recordings(2);
  ASSERT_EQ(list.size(), 1u);
  // A record whose file holds no recording (recycled meanwhile, say) goes first.
  _rec_file_info_ gone = list[0];
  gone.fileIndex = 20;
  gone.startMs = kT0;
  gone.endMs = kT0 + 2000;
  list.insert(list.begin(), gone);
  auto outputs = Backup(list, kBackupAsf);
  ASSERT_EQ(outputs.size(), 1u);  // the first record made no file
  EXPECT_EQ(outputs[0].result, 0);
  EXPECT_NE(outputs[0].path.find("10_01_00__10_01_59"), std::string::npos) << outputs[0].path;
  {
    std::lock_guard<std::mutex> g(g_statusMutex);
    EXPECT_EQ(g_progress.back(), std::make_pair(100, 0));  // the first failed, the last did not
  }

  // Stopped half way: the file is closed and plays up to where it stopped.
  std::vector<_rec_file_info_> second = {list[1]};
  ASSERT_EQ(QVFS_BackupSrcLstStart(second.data(), 1, kBackupAsf, out_.c_str()), 0);
  EXPECT_EQ(QVFS_BackupStop(), 0);
  ctx_->get().backup().Wait();
  outputs = ctx_->get().backup().Outputs();
  if (!outputs.empty()) {  // it may have been stopped before the key frame
    EXPECT_EQ(outputs[0].result, ERR_BACKUP_STOPPED);
    EXPECT_EQ(RunCommand("ffmpeg -v error -i '" + outputs[0].path + "' -f null - 2>&1"), "");
  }
}

// A backup that fails half way (here the process may write no more than 64 KiB to a file, as a
// full destination would stop it) leaves no partial file, and says which record failed.
TEST_F(BackupTest, AFailedBackupLeavesNoFileAndSaysWhichRecord) {
  Record(3, kT0 + 120000, 10);
  const std::vector<_rec_file_info_> list = Recordings(3);
  ASSERT_EQ(list.size(), 1u);
  struct rlimit was {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &was), 0);
  void (*oldHandler)(int) = std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails
  struct rlimit small = was;
  small.rlim_cur = 64 << 10;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  for (int type : {kBackupAsf, kBackupMp4, kBackupBin}) {
    SCOPED_TRACE(type);
    const auto outputs = Backup(list, type);
    EXPECT_TRUE(outputs.empty());
    const auto failures = ctx_->get().backup().Failures();
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].record, 0u);
    EXPECT_LT(failures[0].result, 0);
    EXPECT_EQ(RunCommand("ls -A '" + out_ + "'"), "");  // no partial file left
  }
  setrlimit(RLIMIT_FSIZE, &was);
  std::signal(SIGXFSZ, oldHandler);
  // The same backup with room: one whole file, no failure.
  const auto outputs = Backup(list, kBackupAsf);
  ASSERT_EQ(outputs.size(), 1u);
  EXPECT_EQ(outputs[0].result, 0);
  EXPECT_TRUE(ctx_->get().backup().Failures().empty());
}

TEST_F(BackupTest, Mp4BackupAndConversionPlayWithEveryPicture) {
  Record(0, kT0, 6);
  const std::vector<_rec_file_info_> list = Recordings(0);
  ASSERT_EQ(list.size(), 1u);
  const auto outputs = Backup(list, kBackupMp4);
  ASSERT_EQ(outputs.size(), 1u);
  EXPECT_EQ(outputs[0].result, 0);
  EXPECT_EQ(outputs[0].path, out_ + "/CH01_2026-01-05_10_00_00__10_00_05.mp4");
  const std::string facts = "-select_streams v -count_frames -show_entries "
                            "stream=codec_name,codec_tag_string,width,height,time_base,nb_read_frames";
  EXPECT_EQ(Probe(outputs[0].path, facts), "h264,avc1,320,240,1/90000,150\n");
  EXPECT_EQ(RunCommand("ffmpeg -v error -i '" + outputs[0].path + "' -f null - 2>&1"), "");
  // The video lasts as the record does (150 frames of 40 ms), within one frame interval.
  const double seconds =
      std::stod(Probe(outputs[0].path, "-select_streams v -show_entries stream=duration"));
  EXPECT_NEAR(seconds, 6.0, 0.04);
  // The G.726 audio as AAC, with its 440 Hz tone intact (unpacked in the wrong bit order it
  // would be noise): about 880 zero crossings a second.
  EXPECT_EQ(Probe(outputs[0].path, "-select_streams a -show_entries "
                                   "stream=codec_name,sample_rate,channels"),
            "aac,8000,1\n");
  EXPECT_NEAR(ZeroCrossingsPerSecond(outputs[0].path), 880, 80);

  // A record file held as an ordinary file, converted.
  const std::string exported = out_ + "/rec.bin", mp4 = out_ + "/rec.mp4";
  ASSERT_GT(QVFS_ExportRecordFile(drive_.c_str(), list[0].fileIndex, 4 << 20, exported.c_str()), 0);
  EXPECT_EQ(QVFS_BackupComFileToMP4(exported.c_str(), mp4.c_str()), 0);
  EXPECT_EQ(Probe(mp4, facts), "h264,avc1,320,240,1/90000,150\n");
  EXPECT_EQ(QVFS_BackupComFileToMP4(nullptr, mp4.c_str()), -116);
  EXPECT_LT(QVFS_BackupComFileToMP4((out_ + "/none.bin").c_str(), mp4.c_str()), 0);
}

TEST(Mp4Writer, DurationsParameterSetsAndStartCodes) {
  EXPECT_EQ(CMp4Writer::DurationUnits(1040, 1000), 3600);
  EXPECT_EQ(CMp4Writer::DurationUnits(900, 1000), 2970);    // time went backwards: 33 ms
  EXPECT_EQ(CMp4Writer::DurationUnits(3000, 1000), 90000);  // a 2 s gap: cut to a second
  testsupport::TempDir dir;
  const MediaClip& clip = testsupport::TestClip();
  CMp4Writer w;
  ASSERT_TRUE(w.Create((dir.path() + "/a.mp4").c_str(), 0, 0, 0, 0));  // rate 0: usable anyway
  // A picture with 3-byte start codes only is not written.
  std::vector<uint8_t> three(clip.pictures[1].begin() + 1, clip.pictures[1].end());
  EXPECT_EQ(w.WriteH264(three.data(), static_cast<int>(three.size()), kT0), 0);
  for (size_t k = 0; k < clip.pictures.size(); ++k)
    ASSERT_GE(w.WriteH264(clip.pictures[k].data(), static_cast<int>(clip.pictures[k].size()),
                          kT0 + static_cast<int64_t>(k) * 40),
              0);
  EXPECT_EQ(w.Close(), 0);
  EXPECT_EQ(w.videoSamples(), clip.pictures.size());  // the second SPS is not a sample
  EXPECT_EQ(RunCommand("ffprobe -v error -select_streams v -count_frames -show_entries "
                       "stream=nb_read_frames -of csv=p=0 '" + dir.path() + "/a.mp4'"),
            std::to_string(clip.pictures.size()) + "\n");
  CMp4Writer none;
  ASSERT_TRUE(none.Create((dir.path() + "/b.mp4").c_str(), 0, 0, 0, 25));
  EXPECT_EQ(none.WriteH264(three.data(), static_cast<int>(three.size()), kT0), 0);
  EXPECT_EQ(none.Close(), -1);  // no track: not an MP4 file
  EXPECT_FALSE(none.Create(nullptr, 0, 0, 0, 25));

  // The size of a baseline JPEG, and nothing from what is not one.
  const std::string jpg = dir.path() + "/x.jpg";
  RunCommand("ffmpeg -v error -f lavfi -i testsrc=size=64x48 -frames:v 1 '" + jpg + "'");
  std::ifstream in(jpg, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
  int jw = 0, jh = 0;
  EXPECT_TRUE(CMp4Writer::JpegSize(bytes.data(), bytes.size(), &jw, &jh));
  EXPECT_EQ(jw, 64);
  EXPECT_EQ(jh, 48);
  EXPECT_FALSE(CMp4Writer::JpegSize(three.data(), three.size(), &jw, &jh));
  EXPECT_FALSE(CMp4Writer::JpegSize(bytes.data(), 6, &jw, &jh));
}

// ---- what the MP4 writer holds while it waits for the parameter sets or the audio --------

namespace {

constexpr size_t kMp4WaitCap = size_t{8} << 20;

// An access unit: an SPS (never a valid one: no track is made from it) and a slice of `bytes`.
std::vector<uint8_t> SpsAndSlice(size_t bytes, uint8_t sliceType = 1) {
  std::vector<uint8_t> f = {0, 0, 0, 1, 0x67, 0x42, 0x00, 0x1E, 0x95, 0xA8};
  const std::vector<uint8_t> code = {0, 0, 0, 1, static_cast<uint8_t>(0x60 | sliceType)};
  f.insert(f.end(), code.begin(), code.end());
  f.resize(f.size() + bytes, 0x5A);
  return f;
}

}  // namespace

// Without the parameter sets nothing makes a video track: the writer holds at most the cap, then
// gives up, drops what waited and answers with its code from then on.
TEST(Mp4Writer, WithoutAnSpsAndPpsTheWaitIsBoundedThenTheWriterGivesUp) {
  testsupport::TempDir dir;
  const std::vector<uint8_t> noPps = SpsAndSlice(64 << 10);
  const std::vector<uint8_t> noSps(noPps.begin() + 10, noPps.end()), aac(4096, 0x21);
  for (bool audio : {false, true}) {
    SCOPED_TRACE(audio ? "audio, pictures without an SPS" : "pictures with an SPS, no PPS");
    CMp4Writer w;
    ASSERT_TRUE(w.Create((dir.path() + "/none.mp4").c_str(), 0, 0, 0, 25));
    const std::vector<uint8_t>& f = audio ? aac : noPps;
    size_t most = 0;
    int r = 0;
    for (int64_t k = 0; r >= 0 && k * f.size() < 3 * kMp4WaitCap; ++k) {
      // Pictures before the first SPS are never held.
      const int n = static_cast<int>(noSps.size());
      if (audio && w.WriteH264(noSps.data(), n, kT0) != 0) ADD_FAILURE() << "picture held";
      r = audio ? w.WriteAudio(f.data(), static_cast<int>(f.size()), kT0 + k * 128)
                : w.WriteH264(f.data(), static_cast<int>(f.size()), kT0 + k * 40);
      most = std::max(most, w.waitingBytes());
    }
    EXPECT_EQ(r, CMp4Writer::kErrNoVideoTrack);
    EXPECT_LE(most, kMp4WaitCap + f.size());
    EXPECT_EQ(w.waitingBytes(), 0u);
    EXPECT_EQ(w.WriteH264(noPps.data(), static_cast<int>(noPps.size()), kT0),
              CMp4Writer::kErrNoVideoTrack);
    EXPECT_EQ(w.Close(), -1);
  }
}

TEST(Mp4Writer, VideoThatWaitedTheCapForAudioIsWrittenWithoutAnAudioTrack) {
  testsupport::TempDir dir;
  const MediaClip& clip = testsupport::TestClip();
  const std::string path = dir.path() + "/noaudio.mp4";
  CMp4Writer w;
  ASSERT_TRUE(w.Create(path.c_str(), 0, 0, 0, 25));
  // A clock that stands still: the two seconds the writer waits for audio never pass.
  size_t k = 0, most = 0;
  uint64_t fed = 0;
  for (; fed < kMp4WaitCap + (2u << 20); ++k) {
    const auto& p = clip.pictures[k % clip.pictures.size()];
    ASSERT_GE(w.WriteH264(p.data(), static_cast<int>(p.size()), kT0), 0) << k;
    fed += p.size();
    most = std::max(most, w.waitingBytes());
  }
  EXPECT_LE(most, kMp4WaitCap + (1u << 20));
  EXPECT_EQ(w.waitingBytes(), 0u);  // the file was started
  EXPECT_EQ(w.Close(), 0);
  EXPECT_EQ(w.videoSamples(), k);
  EXPECT_EQ(RunCommand("ffprobe -v error -show_entries stream=codec_type -of csv=p=0 '" + path +
                       "'"),
            "video\n");
}

TEST_F(BackupTest, ARecordWithoutAPpsFailsItsMp4BackupAndLeavesNoFile) {
  std::vector<std::vector<uint8_t>> frames;
  const std::vector<uint8_t> key = SpsAndSlice(96 << 10, 5), other = SpsAndSlice(96 << 10, 1);
  for (uint32_t i = 0; i < 120; ++i)  // about 11 MiB
    frames.push_back(TaggedFrame(i % 25 == 0 ? 'I' : 'P', kT0 + i * 40, i % 25 ? other : key, i));
  ASSERT_GE(testsupport::RecordIndexed(ctx_->get(), 2, frames), 0);
  const std::vector<_rec_file_info_> list = Recordings(2);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_TRUE(Backup(list, kBackupMp4).empty());  // no file is left
  std::lock_guard<std::mutex> g(g_statusMutex);
  ASSERT_FALSE(g_progress.empty());
  EXPECT_EQ(g_progress.back(), std::make_pair(100, static_cast<int>(ERR_BACKUP_OUTPUT)));
  EXPECT_EQ(RunCommand("ls -A '" + out_ + "'"), "");
}

TEST_F(BackupTest, TheAudioSettingDecidesTheBitOrder) {
  Record(1, kT0, 4);
  const std::vector<_rec_file_info_> list = Recordings(1);
  // RFC 3551 order for audio packed the other way round: still AAC, but noise.
  EXPECT_EQ(QVFS_BackupAudioParm(0, 8000, 2 | 256, 1), 0);
  auto outputs = Backup(list, kBackupMp4);
  ASSERT_EQ(outputs.size(), 1u);
  EXPECT_GT(ZeroCrossingsPerSecond(outputs[0].path), 1500);
  // A setting no encoder takes (9-bit code words): the recorder's usual audio is used.
  EXPECT_EQ(QVFS_BackupAudioParm(0, 8000, 9, 1), 0);
  outputs = Backup(list, kBackupMp4);
  ASSERT_EQ(outputs.size(), 1u);
  EXPECT_EQ(outputs[0].result, 0);
  EXPECT_EQ(Probe(outputs[0].path, "-select_streams v -count_frames -show_entries "
                                   "stream=nb_read_frames"),
            "100\n");
  EXPECT_NEAR(ZeroCrossingsPerSecond(outputs[0].path), 880, 80);
}

TEST_F(BackupTest, ARecordFileWithoutKeyFramesMakesNoMp4AndAudioNeverOverflows) {
  // A record file of audio frames only: nothing to convert, and no file is left.
  const std::string audioOnly = out_ + "/audio.bin", mp4 = out_ + "/audio.mp4";
  BinContainer bin;
  ASSERT_EQ(bin.Create(audioOnly, 0, 0, kT0, 1 << 16), 0);
  const MediaClip& clip = testsupport::TestClip();
  for (int i = 0; i < 50; ++i) {
    const auto f = TaggedFrame('A', kT0 + i * 40, clip.audio[static_cast<size_t>(i) % clip.audio.size()],
                               static_cast<uint32_t>(i));
    ASSERT_EQ(bin.Append(f.data(), static_cast<uint32_t>(f.size())), 0);
  }
  ASSERT_EQ(bin.Close(), 0);
  EXPECT_EQ(QVFS_BackupComFileToMP4(audioOnly.c_str(), mp4.c_str()), ERR_BACKUP_OUTPUT);
  struct stat st {};
  EXPECT_NE(stat(mp4.c_str(), &st), 0);
  // The conversion takes payloads larger than its buffer without writing past it.
  AacConversion aac;
  ASSERT_TRUE(aac.Start());
  const std::vector<uint8_t> big(3 * AacConversion::kInputBytes, 0x55);
  int frames = 0;
  for (int k = 0; k < 4; ++k) frames += aac.Take(big.data(), big.size()) > 0;
  EXPECT_GT(frames, 0);
}

// The track size when the SPS cannot be read: the first key frame decoded. The avcC and the
// length-prefixed sample are built here from the clip's key picture as the writer builds them.
TEST(Mp4Writer, TheDecoderGivesThePictureSize) {
  const MediaClip& clip = testsupport::TestClip(50, 25, 352, 288);
  ASSERT_FALSE(clip.pictures.empty());
  const std::vector<uint8_t>& key = clip.pictures[0];
  std::vector<uint8_t> sps, pps, sample;
  for (int64_t at = FindStartCode(key.data(), key.size(), 0); at >= 0;) {
    const size_t begin = static_cast<size_t>(at) + 4;
    const int64_t next = FindStartCode(key.data(), key.size(), begin);
    const size_t end = next < 0 ? key.size() : static_cast<size_t>(next);
    at = next;
    const std::vector<uint8_t> nal(key.begin() + static_cast<long>(begin),
                                   key.begin() + static_cast<long>(end));
    const int type = nal[0] & 0x1F;
    if (type == 7) sps = nal;
    if (type == 8) pps = nal;
    if (type == 1 || type == 5) {
      for (int shift = 24; shift >= 0; shift -= 8)
        sample.push_back(static_cast<uint8_t>(nal.size() >> shift));
      sample.insert(sample.end(), nal.begin(), nal.end());
    }
  }
  ASSERT_GE(sps.size(), 4u);
  ASSERT_FALSE(pps.empty());
  std::vector<uint8_t> avcc = {1, sps[1], sps[2], sps[3], 0xFF, 0xE1,
                               static_cast<uint8_t>(sps.size() >> 8),
                               static_cast<uint8_t>(sps.size())};
  avcc.insert(avcc.end(), sps.begin(), sps.end());
  avcc.insert(avcc.end(), {1, static_cast<uint8_t>(pps.size() >> 8),
                           static_cast<uint8_t>(pps.size())});
  avcc.insert(avcc.end(), pps.begin(), pps.end());
  int w = 0, h = 0;
  ASSERT_TRUE(CMp4Writer::DecodedSize(avcc, sample, &w, &h));
  EXPECT_EQ(w, 352);
  EXPECT_EQ(h, 288);
  // Bytes that are no picture give no size, and nothing is read outside them.
  const std::vector<uint8_t> junk(64, 0x5A);
  EXPECT_FALSE(CMp4Writer::DecodedSize(avcc, junk, &w, &h));
  EXPECT_FALSE(CMp4Writer::DecodedSize({}, sample, &w, &h));
}

TEST(AacConversion, EverySampleOfLargePayloadsComesOut) {
  // 512-byte G.726 payloads at 2 bits are 2048 samples: two AAC frames each. Taking one frame
  // per payload left the other in the encoder, so half of the audio came out late or never.
  AacConversion aac;
  ASSERT_TRUE(aac.Start());
  const std::vector<uint8_t> payload(512, 0x5A);
  int frames = 0;
  for (int k = 0; k < 20; ++k)
    for (int n = aac.Take(payload.data(), payload.size()); n > 0; n = aac.Next()) ++frames;
  // 40 frames of samples, less the encoder's start-up delay of a frame or two.
  EXPECT_GE(frames, 37);
  EXPECT_LE(frames, 40);
  EXPECT_EQ(aac.Next(), 0);
}

TEST(BackupNames, EndTimesInTheShortestUnambiguousForm) {
  _rec_file_info_ r{};
  r.channel = 1;
  r.startMs = 1457164800000;  // 2016-03-05 08:00:00
  r.endMs = r.startMs + (30 * 60 + 15) * 1000;
  EXPECT_EQ(BackupEngine::MakeName(0, r), "CH02_2016-03-05_08_00_00__08_30_15.asf");
  r.endMs = r.startMs + 17 * 3600 * 1000;  // past midnight
  EXPECT_EQ(BackupEngine::MakeName(1, r), "CH02_2016-03-05_08_00_00__03-06_01_00_00.mp4");
  r.endMs = 1483228800000 + 5000;  // 2017-01-01 00:00:05
  EXPECT_EQ(BackupEngine::MakeName(2, r), "CH02_2016-03-05_08_00_00__2017-01-01_00_00_05.bin");
  r.channel = 0;
  r.tzByte = 8 << 1;  // recorded at UTC+8: the names carry local time
  r.endMs = r.startMs;
  EXPECT_EQ(BackupEngine::MakeName(0, r), "CH01_2016-03-05_16_00_00__16_00_00.asf");
}

TEST_F(BackupTest, TheBinIndexStopsBeforeTheData) {
  const std::string path = tmp_.path() + "/limit.bin";
  BinContainer bin;
  ASSERT_EQ(bin.Create(path, 0, 0, kT0, 1 << 20), 0);
  const std::vector<uint8_t> payload(8, 0x5A);
  for (int i = 0; i < 9300; ++i) {
    const auto f = TaggedFrame(i % 2 ? 'A' : 'I', kT0 + i * 40, payload, static_cast<uint32_t>(i));
    ASSERT_EQ(bin.Append(f.data(), static_cast<uint32_t>(f.size())), 0);
  }
  EXPECT_TRUE(bin.indexFull());
  ASSERT_EQ(bin.Close(), 0);
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
  ASSERT_GT(bytes.size(), recfile::kDataOffset + 4);
  EXPECT_EQ(std::string(bytes.begin() + recfile::kDataOffset,
                        bytes.begin() + recfile::kDataOffset + 4),
            "PTMF");  // the first frame is whole
  std::vector<recfile::IndexEntry> index;
  std::vector<recfile::GpsEntry> gps;
  recfile::ParseIndexArea(bytes.data() + recfile::kIndexOffset, recfile::kIndexAreaBytes, &index,
                          &gps);
  EXPECT_EQ(index.size(), 9215u);
  EXPECT_TRUE(Printed("Write Index fail."));
}

TEST_F(BackupTest, ExportCopiesTheRecordFileAsItIs) {
  Record(3, kT0, 3);
  const std::vector<_rec_file_info_> list = Recordings(3);
  ASSERT_EQ(list.size(), 1u);
  const std::string dest = out_ + "/export.rec";
  const std::string& drive = drive_;
  ASSERT_GT(QVFS_ExportRecordFile(drive.c_str(), list[0].fileIndex, 4 << 20, dest.c_str()), 0);
  // Byte for byte the record file as the image holds it.
  const uint64_t at = ctx_->get().diskWatch().RecordFileLba(drive, static_cast<uint32_t>(list[0].fileIndex)) * 512;
  std::ifstream image(imagePath_, std::ios::binary), copy(dest, std::ios::binary);
  std::vector<char> onImage(4 << 20), copied(4 << 20);
  image.seekg(static_cast<std::streamoff>(at));
  image.read(onImage.data(), static_cast<std::streamsize>(onImage.size()));
  copy.read(copied.data(), static_cast<std::streamsize>(copied.size()));
  ASSERT_EQ(copy.gcount(), static_cast<std::streamsize>(copied.size()));
  EXPECT_TRUE(onImage == copied);
  CRecordReader exported, onDisk;
  ASSERT_EQ(exported.OpenFile(dest, list[0]), 0);
  ASSERT_EQ(onDisk.OpenRecord(list[0], list[0].startMs, true), 0);
  const auto a = FramesOf(exported), b = FramesOf(onDisk);
  EXPECT_EQ(a.size(), 150u);
  EXPECT_TRUE(a == b);
  EXPECT_EQ(QVFS_ExportRecordFile(drive.c_str(), list[0].fileIndex, 64 << 20, nullptr), -101);
}

}  // namespace
