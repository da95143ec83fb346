// stfsctl play: headless replay of one channel through a replay session (the library's playback
// functions), as fast as the session delivers (no pacing). Lists the frames; --decode decodes
// the video with the library's H.264 decoder, --snapshot writes the first picture as PNG.
#include <cstdio>
#include <vector>

#include "commands.h"
#include "json.h"
#include "platform/clock.h"
#include "player/h264_decoder.h"
#include "png.h"
#include "qvfs/qvfs.h"
#include "record/frame_strategy.h"

namespace {

constexpr int64_t kNoEnd = 2147483647;  // the sessions' default range end, in seconds
constexpr int kIdleLimitMs = 10000;     // no frame for this long: the session is stuck
constexpr int kBufferBytes = 4 << 20;

struct PlayOptions {
  int64_t channel = -1, from = -1, to = kNoEnd, at = -1, speed = 1, frames = -1, client = 1;
  std::string mode = "normal", snapshot;
  bool decode = false;
};

struct FrameRow {
  int64_t pts;
  char type;
  int size;
};

int ModeCode(const std::string& m) {
  if (m == "fast") return 128;
  if (m == "back") return 256;
  if (m == "slow") return 64;
  return 16;
}

int ParsePlay(Invocation& inv, PlayOptions* o) {
  std::string v;
  for (size_t i = 0; i < inv.args.size(); ++i) {
    const std::string& a = inv.args[i];
    if (a == "--help") {
      printf("usage: stfsctl [GLOBAL OPTIONS] play --channel C --from A [--to B] [--at T]\n"
             "                [--mode normal|fast|back|slow] [--speed N] [--frames N]\n"
             "                [--decode] [--snapshot PNG] [--client N]\n"
             "Replays channel C over [A, B] through a replay session (client 1 by default),\n"
             "starting at T (A, or B backwards), and lists the frames. fast and back deliver key\n"
             "frames (every Nth with --speed N, N >= 3 for fast). --decode decodes the video and\n"
             "counts the pictures; --snapshot writes the first picture as a PNG file.\n"
             "TIME: YYYY-MM-DDTHH:MM:SS in local time, or @SECONDS since 1970 UTC.\n");
      return kExitOk;
    }
    if (a == "--decode") {
      o->decode = true;
    } else if (TakeValue(inv.args, i, "--channel", &v)) {
      if (!ParseMask(v, &o->channel) || o->channel > 31) return UsageError("play", "--channel is 0..31");
    } else if (TakeValue(inv.args, i, "--from", &v)) {
      if (!ParseTime(v, &o->from)) return UsageError("play", "--from takes a TIME");
    } else if (TakeValue(inv.args, i, "--to", &v)) {
      if (!ParseTime(v, &o->to)) return UsageError("play", "--to takes a TIME");
    } else if (TakeValue(inv.args, i, "--at", &v)) {
      if (!ParseTime(v, &o->at)) return UsageError("play", "--at takes a TIME");
    } else if (TakeValue(inv.args, i, "--mode", &v)) {
      if (v != "normal" && v != "fast" && v != "back" && v != "slow")
        return UsageError("play", "--mode is normal, fast, back or slow");
      o->mode = v;
    } else if (TakeValue(inv.args, i, "--speed", &v)) {
      if (!ParseMask(v, &o->speed) || o->speed > 32) return UsageError("play", "--speed is 0..32");
    } else if (TakeValue(inv.args, i, "--frames", &v)) {
      if (!ParseMask(v, &o->frames) || o->frames < 1) return UsageError("play", "--frames takes N >= 1");
    } else if (TakeValue(inv.args, i, "--snapshot", &v)) {
      o->snapshot = v;
    } else if (TakeValue(inv.args, i, "--client", &v)) {
      if (!ParseMask(v, &o->client) || o->client > 4) return UsageError("play", "--client is 0..4");
    } else {
      return UsageError("play", "unknown argument '" + a + "'");
    }
  }
  if (o->channel < 0) return UsageError("play", "--channel C is required");
  if (o->from < 0) return UsageError("play", "--from A is required");
  if (o->to < o->from) return UsageError("play", "--to lies before --from");
  return -1;
}

// Decoding of the video frames and the snapshot of the first picture.
class FrameDecoder {
 public:
  explicit FrameDecoder(const PlayOptions& o) : wanted_(o.decode || !o.snapshot.empty()) {
    if (wanted_) opened_ = decoder_.Open();
  }
  bool opened() const { return !wanted_ || opened_; }
  void Take(const uint8_t* frame, int size) {
    if (!opened_) return;
    CFrmStategy sel;
    if (sel.SelectWithin(const_cast<uint8_t*>(frame), static_cast<uint64_t>(size)) != 0) return;
    const uint8_t type = sel.Current()->GetFrameType();
    if (type == frame::kTypeAudio) return;
    const uint32_t header = sel.Current()->GetHeaderLength();
    if (header >= static_cast<uint32_t>(size)) return;
    ++videoFrames_;
    decoder_.Decode(frame + header, static_cast<size_t>(size) - header);
    if (snapshot_.empty() && decoder_.pictures() > 0)
      decoder_.LastPictureBgra(0, 0, &snapshot_);
  }
  void Finish() {
    if (opened_) decoder_.Flush();
  }
  uint64_t pictures() const { return decoder_.pictures(); }
  uint64_t refused() const { return decoder_.refused(); }
  uint64_t videoFrames() const { return videoFrames_; }
  bool WriteSnapshot(const std::string& path) {
    return !snapshot_.empty() &&
           WritePngFromBgra(path, snapshot_, decoder_.width(), decoder_.height());
  }

 private:
  bool wanted_;
  bool opened_ = false;
  H264Decoder decoder_;
  uint64_t videoFrames_ = 0;
  std::vector<uint8_t> snapshot_;
};

}  // namespace

int CmdPlay(Invocation& inv) {
  PlayOptions o;
  const int usage = ParsePlay(inv, &o);
  if (usage >= 0) return usage;
  const int mode = ModeCode(o.mode);
  const int ch = static_cast<int>(o.channel), client = static_cast<int>(o.client);
  FrameDecoder decoder(o);
  if (!decoder.opened()) return Fail(inv.global, -1, "no H.264 decoder could be opened");

  InitLibraryQuiet();
  int r = QVFS_PlaybackBytime(o.from, o.to, ch, client);
  if (r == -2007)
    return Fail(inv.global, r, "no recording of channel " + std::to_string(ch) + " meets the range");
  if (r < 0) return Fail(inv.global, r, "the replay session did not start: " + LastDiagnostic());
  if (mode != 16 || o.speed != 1) {
    r = QVFS_PlaybackSetMode(mode, static_cast<int>(o.speed), ch, client);
    if (r < 0) return Fail(inv.global, r, "the mode was refused: " + LastDiagnostic());
  }
  const int64_t at = o.at >= 0 ? o.at : (mode == 256 ? o.to : -1);
  if (at >= 0) QVFS_PlaybackSeekTime(at, ch, client);

  std::vector<uint8_t> buf(kBufferBytes);
  std::vector<FrameRow> rows;
  std::string ending = "play list done";
  int idleMs = 0;
  while (o.frames < 0 || static_cast<int64_t>(rows.size()) < o.frames) {
    const int n = QVFS_ReplayFifoReadFrame(buf.data(), static_cast<int>(buf.size()), ch, client);
    if (n == -3003 || n == -100) {  // between two files: the session opens the next one
      if ((idleMs += 5) > kIdleLimitMs) {
        ending = "no frame for 10 s";
        break;
      }
      platform::SleepMs(5);
      continue;
    }
    idleMs = 0;
    if (n == -2007) break;
    if (n == -115) {
      ending = "range end";
      break;
    }
    if (n < 0) {
      QVFS_PlaybackStop(ch, client);
      return Fail(inv.global, n, "reading a frame failed: " + LastDiagnostic());
    }
    CFrmStategy sel;
    if (n == 0 || sel.SelectWithin(buf.data(), static_cast<uint64_t>(n)) != 0) continue;
    const int64_t pts = sel.Current()->GetPts();
    if (mode == 256 && pts < o.from * 1000) {
      ending = "range start";
      break;
    }
    rows.push_back({pts, static_cast<char>(sel.Current()->GetFrameType()), n});
    decoder.Take(buf.data(), n);
  }
  if (o.frames >= 0 && static_cast<int64_t>(rows.size()) >= o.frames) ending = "frame limit";
  QVFS_PlaybackStop(ch, client);
  decoder.Finish();
  if (!o.snapshot.empty() && !decoder.WriteSnapshot(o.snapshot))
    return Fail(inv.global, -1, "no picture for the snapshot, or " + o.snapshot + " cannot be written");

  if (inv.global.json) {
    JsonWriter w;
    w.BeginObject().BeginArray("frames");
    for (const FrameRow& f : rows)
      w.BeginObject().Field("pts_ms", f.pts).Field("type", std::string(1, f.type))
          .Field("size", f.size).EndObject();
    w.EndArray()
        .Field("decoded", static_cast<int64_t>(decoder.pictures()))
        .Field("video_frames", static_cast<int64_t>(decoder.videoFrames()))
        .Field("refused", static_cast<int64_t>(decoder.refused()))
        .Field("end", ending)
        .EndObject();
    PrintJson(w.str());
    return kExitOk;
  }
  for (const FrameRow& f : rows)
    printf("  pts %lld  %c  %8d bytes\n", static_cast<long long>(f.pts), f.type, f.size);
  printf("%zu frames (%s)", rows.size(), ending.c_str());
  if (o.decode)
    printf(", %llu pictures decoded from %llu video frames, %llu refused",
           static_cast<unsigned long long>(decoder.pictures()),
           static_cast<unsigned long long>(decoder.videoFrames()),
           static_cast<unsigned long long>(decoder.refused()));
  printf("\n");
  if (!o.snapshot.empty()) printf("snapshot: %s\n", o.snapshot.c_str());
  return kExitOk;
}
