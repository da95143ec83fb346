#include "backup/mp4_backup.h"

#include <cstdio>
#include <vector>

#include "backup/aac_conversion.h"
#include "backup/backup_engine.h"
#include "backup/mp4_writer.h"
#include "backup/record_frames.h"
#include "platform/messages.h"
#include "platform/time_print.h"
#include "record/record_reader.h"

namespace {

constexpr uint32_t kJpegHeaderBytes = 52;   // the header JPEG records carry
constexpr int kJpegTypeAt = 6, kJpegTimeAt = 16;
constexpr uint32_t kLargestAudioPayload = 512;
constexpr int64_t kAacFrameSamples = 1024;
constexpr int kProgressEvery = 100;
constexpr int kErrNoSource = -116;

int64_t Le64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return static_cast<int64_t>(v);
}

// A writer's failure as a backup result: no video track (no SPS and PPS while the most the
// writer holds waited) is a record without a usable key frame; any other a failed write.
int WriteFailure(int written) {
  return written == CMp4Writer::kErrNoVideoTrack ? ERR_BACKUP_OUTPUT : ERR_BACKUP_WRITE;
}

// Closes the writer; a writer that gave up for want of a video track leaves no file behind.
int Finish(CMp4Writer& mp4, const char* path, int result) {
  if (mp4.Close() != 0 && result == 0) result = ERR_BACKUP_WRITE;
  if (mp4.gaveUpWithoutVideo()) std::remove(path);
  return result;
}

// The payload of the current frame (after its tag header).
const uint8_t* Payload(RecordFrames& f) { return f.frame() + f.headerBytes(); }
int PayloadBytes(RecordFrames& f, int n) { return n - static_cast<int>(f.headerBytes()); }

}  // namespace

namespace {

// The AAC track's settings from the conversion, when it can encode: its sample rate, else 0.
int StartAudio(CMp4Writer& mp4, AacConversion& aac) {
  if (!aac.Start()) return 0;
  std::vector<uint8_t> config;
  int rate = 0, channels = 0;
  if (!aac.Format(&config, &rate, &channels)) return 0;
  mp4.SetAudioFormat(config.data(), static_cast<int>(config.size()), rate, channels);
  return rate;
}

// The recorder's audio frame n bytes long, gathered and converted into AAC frames: the last
// write's result (0 while the encoder gathers).
int WriteAudioFrame(CMp4Writer& mp4, AacConversion& aac, int aacRate, RecordFrames& frames, int n) {
  const int bytes = PayloadBytes(frames, n);
  if (bytes > static_cast<int>(kLargestAudioPayload)) {
    DebugLog("A frame error size %d .\n", bytes);
    return 0;
  }
  // A payload of more than 1024 samples makes several AAC frames: each is written, one AAC
  // frame's time after the one before. Each pass takes the encoder's next frame; it ends when
  // the encoder has none left or a write fails.
  const int64_t frameMs = aacRate > 0 ? kAacFrameSamples * 1000 / aacRate : 0;
  int64_t t = frames.pts();
  int w = 0;
  for (int aacBytes = aac.Take(Payload(frames), static_cast<size_t>(bytes));
       aacBytes > 0 && w >= 0; aacBytes = aac.Next(), t += frameMs)
    w = mp4.WriteAudio(aac.frame(), aacBytes, t);
  return w;
}

}  // namespace

int BackupRecordToMp4(size_t i, const _rec_file_info_& r, CRecordReader& reader,
                      const std::string& path, BackupEngine& engine) {
  RecordFrames frames(reader, r, BackupEngine::kFrameBufferBytes);
  int n = frames.Open();
  if (n != 0) return n;
  n = frames.NextOfType("IM");
  if (n <= 0) return n < 0 ? n : ERR_BACKUP_OUTPUT;  // no key frame: no file
  platform::LogRange("First I Frame", frames.pts(), frames.pts());
  const bool jpeg = frames.type() == 'M';
  CMp4Writer mp4;
  // The picture size comes from the stream (the SPS, or the JPEG header), not a fixed size.
  if (!mp4.Create(path.c_str(), 0, 0, 0, static_cast<int>(frames.auxValue()))) {
    DebugLog("open file failed.\n");
    return ERR_BACKUP_OUTPUT;
  }
  AacConversion& aac = engine.audio();
  const int aacRate = jpeg ? 0 : StartAudio(mp4, aac);
  platform::LogRange("Backup reocord File", r.startMs, r.endMs);
  const size_t queued = std::max<size_t>(engine.queueLength(), 1);
  const uint64_t size = static_cast<uint32_t>(r.size);
  int result = 0;
  for (uint64_t count = 1;; ++count) {
    int w = 0;
    if (jpeg) {
      if (n >= static_cast<int>(kJpegHeaderBytes)) {
        const uint8_t* f = frames.frame();
        const int64_t t = Le64(f + kJpegTimeAt);
        const int bytes = n - static_cast<int>(kJpegHeaderBytes);
        w = f[kJpegTypeAt] == 'A' ? mp4.WriteAudio(f + kJpegHeaderBytes, bytes, t)
                                  : mp4.WriteJpeg(f + kJpegHeaderBytes, bytes, t);
      }
    } else if (frames.type() == 'A') {
      w = WriteAudioFrame(mp4, aac, aacRate, frames, n);
    } else if (frames.type() != 0) {
      w = mp4.WriteH264(Payload(frames), PayloadBytes(frames, n), frames.pts());
    }
    if (w < 0) {
      result = WriteFailure(w);
      break;
    }
    if (count % kProgressEvery == 0) {
      const uint64_t within = size ? std::min<uint64_t>(frames.bytesRead() * 100 / size, 100) : 0;
      engine.ReportProgress(static_cast<int>((i * 100 + within) / queued), 1);
    }
    if (engine.stopRequested()) {
      result = ERR_BACKUP_STOPPED;
      break;
    }
    n = frames.Next();
    if (n <= 0) {
      result = n;
      break;
    }
  }
  platform::LogRange("Last frame time", frames.pts(), frames.pts());
  return Finish(mp4, path.c_str(), result);
}

int ConvertRecordFileToMp4(const char* source, const char* dest, AacConversion* audio) {
  if (!source) return kErrNoSource;
  if (!dest) return ERR_BACKUP_OUTPUT;
  CRecordReader reader(0);
  _rec_file_info_ info{};
  info.channel = 0xFF;
  int n = reader.OpenFile(source, info);
  if (n != 0) {
    DebugLog("Read Frame fail. ret %d \n", n);
    return n;
  }
  RecordFrames frames(reader, info, BackupEngine::kFrameBufferBytes);
  n = frames.NextOfType("IM");
  if (n < 1) {
    DebugLog("Read Frame fail. ret %d \n", n);
    return n < 0 ? n : ERR_BACKUP_OUTPUT;
  }
  const bool jpeg = frames.type() == 'M';
  CMp4Writer mp4;
  if (!mp4.Create(dest, frames.width(), frames.height(), 0, static_cast<int>(frames.auxValue()))) {
    DebugLog("open file failed.\n");
    return ERR_BACKUP_OUTPUT;
  }
  DebugLog("Backup I frame frmSize %d \n", n);
  // The audio as AAC, as a backup writes it (with the conversion the caller gives).
  const int aacRate = jpeg || !audio ? 0 : StartAudio(mp4, *audio);
  int result = 0;
  for (;;) {
    int w = 0;
    if (jpeg && n >= static_cast<int>(kJpegHeaderBytes) && frames.frame()[kJpegTypeAt] != 'A') {
      w = mp4.WriteJpeg(frames.frame() + kJpegHeaderBytes, n - static_cast<int>(kJpegHeaderBytes),
                        Le64(frames.frame() + kJpegTimeAt));
    } else if (!jpeg && frames.type() == 'A') {
      if (aacRate > 0) w = WriteAudioFrame(mp4, *audio, aacRate, frames, n);
    } else if (!jpeg && frames.type() != 0) {
      w = mp4.WriteH264(Payload(frames), PayloadBytes(frames, n), frames.pts());
    }
    if (w < 0) {
      result = WriteFailure(w);
      break;
    }
    n = frames.Next();
    if (n <= 0) {
      result = n;
      break;
    }
  }
  result = Finish(mp4, dest, result);
  DebugLog("Backup end \n");
  return result;
}
