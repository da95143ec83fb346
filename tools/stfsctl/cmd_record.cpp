// stfsctl record: a simulated recorder driving the real recording engine through the exported
// interface. The clip's pictures (and G.726 audio) go into the channels' FIFOs with
// QVFS_FifoWriteFrame on a manual clock that advances by the frame interval, as fast as the
// disk takes them; the record types of the spans are switched on and off at the span bounds.
// The engine's timer thread runs on real sleeps, so at each change of type the clock is held
// until the status callback reports the new type (0x8003).
#include <algorithm>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <mutex>
#include <vector>

#include "commands.h"
#include "json.h"
#include "platform/clock.h"
#include "progress.h"
#include "qvfs/qvfs.h"
#include "record/h264.h"

namespace {

constexpr int kWaitReportMs = 10000;
constexpr uint32_t kAudioBytesPerSecond = 2000;  // G.726 at 16 kbit/s
constexpr int64_t kNow = INT64_MIN;

struct Span {
  int64_t startSec = 0;  // kNow: "now", the span follows the one before it in real time
  int64_t seconds = 0;
  int type = 2;  // 1 schedule, 2 manual, 4/8/16/32 events
};

volatile std::sig_atomic_t g_interrupted = 0;
void OnInterrupt(int) { g_interrupted = 1; }

// The record types the status callback reported last, per channel.
std::mutex g_typesMutex;
uint32_t g_types[32] = {};
void OnStatus(int code, const void* data, int length) {
  if (code != 0x8003 || length < 8) return;
  uint32_t words[2];
  std::memcpy(words, data, sizeof words);
  if (words[0] >= 32) return;
  std::lock_guard<std::mutex> g(g_typesMutex);
  g_types[words[0]] = words[1];
}

bool ParseDuration(const std::string& s, int64_t* seconds) {
  if (s.empty()) return false;
  char* end = nullptr;
  const long long v = std::strtoll(s.c_str(), &end, 10);
  if (v <= 0 || end == s.c_str()) return false;
  const std::string unit(end);
  const int64_t mul = unit == "s" || unit.empty() ? 1 : unit == "m" ? 60 : unit == "h" ? 3600 : 0;
  if (mul == 0) return false;
  *seconds = v * mul;
  return true;
}

// START+DURATION[:TYPE]
bool ParseSpan(const std::string& s, Span* out) {
  const size_t plus = s.find('+', 1);
  if (plus == std::string::npos) return false;
  const size_t colon = s.find(':', plus);
  const std::string start = s.substr(0, plus);
  const std::string dur = s.substr(plus + 1, colon == std::string::npos ? std::string::npos
                                                                        : colon - plus - 1);
  if (start == "now") out->startSec = kNow;
  else if (!ParseTime(start, &out->startSec)) return false;
  if (!ParseDuration(dur, &out->seconds)) return false;
  if (colon == std::string::npos) return true;
  const std::string type = s.substr(colon + 1);
  if (type == "manual") out->type = 2;
  else if (type == "schedule") out->type = 1;
  else if (type == "event4") out->type = 4;
  else if (type == "event8") out->type = 8;
  else if (type == "event16") out->type = 16;
  else if (type == "event32") out->type = 32;
  else return false;
  return true;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

// The schedule that covers [from, to) in half-hour slots (days and slots in UTC, as the engine
// reads them).
RecordSchedule ScheduleFor(int64_t fromSec, int64_t toSec) {
  RecordSchedule s{};
  s.words[0][0] = 1;
  for (int64_t t = fromSec - fromSec % 1800; t < toSec; t += 1800) {
    const time_t tt = static_cast<time_t>(t);
    struct tm parts {};
    gmtime_r(&tt, &parts);
    const int day = parts.tm_wday == 0 ? 7 : parts.tm_wday;
    const int slot = 2 * parts.tm_hour + parts.tm_min / 30;
    s.words[day][slot / 32] |= 1u << (slot % 32);
  }
  return s;
}

class Recorder {
 public:
  Recorder(uint32_t channels, std::vector<H264Picture> pictures, std::vector<uint8_t> audio,
           int fps, bool realtime)
      : channels_(channels), pictures_(std::move(pictures)), audio_(std::move(audio)),
        fps_(fps), realtime_(realtime) {}

  // Records one span; false when interrupted.
  bool Run(const Span& span, int64_t* doneMs, int64_t totalMs) {
    if (!realtime_) QVFS_SetManualClock(1, span.startSec * 1000);
    StartType(span);
    auto due = std::chrono::steady_clock::now();
    const int64_t frames = span.seconds * fps_;
    const int64_t stepMs = 1000 / fps_;
    const uint32_t audioPiece = kAudioBytesPerSecond / static_cast<uint32_t>(fps_);
    bool waited = false;
    size_t picture = 0;  // the clip starts over with each span: its first picture is a key
    for (int64_t f = 0; f < frames && !g_interrupted; ++f) {
      for (int ch = 0; ch < 32; ++ch) {
        if (!(channels_ & (1u << ch))) continue;
        while (QVFS_FIFO_GetWarter(ch, 0) > 50 && !g_interrupted) platform::SleepMs(2);
        H264Picture& p = pictures_[picture % pictures_.size()];
        QVFS_FifoWriteFrame(p.bytes.data(), static_cast<int>(p.bytes.size()), p.key ? 'I' : 'P',
                            ch);
        if (!audio_.empty()) {
          const size_t at = (static_cast<size_t>(f) * audioPiece) % (audio_.size() - audioPiece + 1);
          QVFS_FifoWriteFrame(audio_.data() + at, static_cast<int>(audioPiece), 'A', ch);
        }
      }
      ++picture;
      // The first frames stand at the span's start until every channel reports the new type.
      if (!waited) {
        WaitForType(span.type);
        waited = true;
        due = std::chrono::steady_clock::now();
      }
      if (realtime_) PaceNext(&due, stepMs);
      else QVFS_AdvanceClock(stepMs);
      *doneMs += stepMs;
      ReportToolProgress("record", static_cast<uint64_t>(*doneMs), static_cast<uint64_t>(totalMs));
    }
    Drain();
    StopType(span);
    return !g_interrupted;
  }

 private:
  // Real time keeps to the frame rate: the next frame is due one interval after the last was
  // due, so the time spent writing does not add up into drift. The engine stamps each frame
  // with the clock as it takes it, so a frame that is late is not followed by a burst (two
  // frames stamped alike): the schedule starts again from now, at least a millisecond on.
  static void PaceNext(std::chrono::steady_clock::time_point* due, int64_t stepMs) {
    const auto now = std::chrono::steady_clock::now();
    *due += std::chrono::milliseconds(stepMs);
    if (*due <= now) *due = now + std::chrono::milliseconds(1);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*due - now);
    platform::SleepMs(static_cast<uint32_t>(std::max<int64_t>(left.count(), 1)));
  }

  void StartType(const Span& span) {
    {
      std::lock_guard<std::mutex> g(g_typesMutex);
      std::memset(g_types, 0, sizeof g_types);
    }
    for (int ch = 0; ch < 32; ++ch) {
      if (!(channels_ & (1u << ch))) continue;
      if (span.type == 1)
        QVFS_ScheduleTimeSet(ch, ScheduleFor(span.startSec, span.startSec + span.seconds));
      else
        QVFS_START_RECORD(ch, span.type, static_cast<int>(span.seconds + 2));
    }
  }

  void StopType(const Span& span) {
    for (int ch = 0; ch < 32; ++ch) {
      if (!(channels_ & (1u << ch))) continue;
      if (span.type == 1) QVFS_ScheduleTimeSet(ch, RecordSchedule{});
      else if (span.type == 2) QVFS_ManualRecStop(ch);
      else QVFS_STOP_RECORD(ch, span.type);
    }
    // The recordings close before the clock jumps to the next span.
    uint8_t info[40];
    for (int i = 0; i < kWaitReportMs / 10; ++i) {
      QVFS_GetRecordChInfo(info);
      bool open = false;
      for (int ch = 0; ch < 32; ++ch)
        if ((channels_ & (1u << ch)) && info[8 + ch] != 0) open = true;
      if (!open) break;
      platform::SleepMs(10);
    }
  }

  void WaitForType(int type) {
    for (int i = 0; i < kWaitReportMs / 10 && !g_interrupted; ++i) {
      bool all = true;
      {
        std::lock_guard<std::mutex> g(g_typesMutex);
        for (int ch = 0; ch < 32; ++ch)
          if ((channels_ & (1u << ch)) && !(g_types[ch] & static_cast<uint32_t>(type))) all = false;
      }
      if (all) return;
      platform::SleepMs(10);
    }
  }

  // Waits until the record thread has taken every frame: as long as the FIFOs keep shrinking
  // (below 10 % full the engine takes a frame per channel every 50 ms), at most 10 s without
  // progress.
  void Drain() {
    int64_t last = -1;
    for (int still = 0; still < 2000 && !g_interrupted;) {
      int64_t held = 0;
      for (int ch = 0; ch < 32; ++ch)
        if (channels_ & (1u << ch)) held += std::max(QVFS_FifoGetDataSize(ch, 0), 0);
      if (held == 0) break;
      still = held == last ? still + 1 : 0;
      last = held;
      platform::SleepMs(5);
    }
    platform::SleepMs(200);  // the frame the record thread took last is written
  }

  uint32_t channels_;
  std::vector<H264Picture> pictures_;
  std::vector<uint8_t> audio_;
  int fps_;
  bool realtime_;
};

// Real-time spans run one after another from the current second.
void StartSpansNow(std::vector<Span>* spans) {
  int64_t at = static_cast<int64_t>(std::time(nullptr));
  for (Span& s : *spans) {
    s.startSec = at;
    at += s.seconds;
  }
}

}  // namespace

int CmdRecord(Invocation& inv) {
  uint32_t channels = 0;
  std::string input, audio, v;
  std::vector<Span> spans;
  int64_t fps = 25;
  bool realtime = false;
  for (size_t i = 0; i < inv.args.size(); ++i) {
    if (inv.args[i] == "--help") {
      printf("usage: stfsctl [GLOBAL OPTIONS] record --channels LIST --input H264 [--audio G726]\n"
             "                --span START+DURATION[:TYPE] [--span ...] [--fps N] [--realtime]\n"
             "A simulated recorder: the clip (looped) records on the channels over each span of\n"
             "simulated time. DURATION: 90s, 10m, 2h. TYPE: manual (default), schedule, event4,\n"
             "event8, event16, event32. START: YYYY-MM-DDTHH:MM:SS (local) or @SECONDS.\n"
             "--realtime records from now, on the wall clock, at the frame rate: each span is\n"
             "written now+DURATION[:TYPE] and the spans follow one another. Ctrl-C closes the\n"
             "recordings and reports what was written.\n");
      return kExitOk;
    }
    if (TakeValue(inv.args, i, "--channels", &v)) {
      if (!ParseChannelList(v, &channels)) return UsageError("record", "--channels takes a LIST");
    } else if (TakeValue(inv.args, i, "--input", &v)) {
      input = v;
    } else if (TakeValue(inv.args, i, "--audio", &v)) {
      audio = v;
    } else if (TakeValue(inv.args, i, "--span", &v)) {
      Span s;
      if (!ParseSpan(v, &s)) return UsageError("record", "bad --span '" + v + "'");
      spans.push_back(s);
    } else if (TakeValue(inv.args, i, "--fps", &v)) {
      if (!ParseMask(v, &fps) || fps < 1 || fps > 100) return UsageError("record", "--fps 1..100");
    } else if (inv.args[i] == "--realtime") {
      realtime = true;
    } else {
      return UsageError("record", "unknown argument '" + inv.args[i] + "'");
    }
  }
  if (channels == 0 || input.empty() || spans.empty())
    return UsageError("record", "--channels, --input and --span are required");
  for (const Span& s : spans) {
    if (realtime && s.startSec != kNow)
      return UsageError("record", "--realtime records from now: write each span as now+DURATION");
    if (!realtime && s.startSec == kNow)
      return UsageError("record", "a span starts now only with --realtime");
  }
  if (int status = CheckInputFile("record", input); status >= 0) return status;
  if (!audio.empty())
    if (int status = CheckInputFile("record", audio); status >= 0) return status;
  std::sort(spans.begin(), spans.end(),
            [](const Span& a, const Span& b) { return a.startSec < b.startSec; });
  for (size_t k = 1; k < spans.size(); ++k)
    if (spans[k].startSec < spans[k - 1].startSec + spans[k - 1].seconds)
      return UsageError("record", "spans overlap");
  const std::vector<uint8_t> clip = ReadFile(input);
  std::vector<H264Picture> pictures = SplitPictures(clip.data(), clip.size());
  if (pictures.empty() || !pictures.front().key)
    return Fail(inv.global, -101, input + " holds no H.264 pictures starting with a key frame");
  std::vector<uint8_t> sound;
  if (!audio.empty()) {
    sound = ReadFile(audio);
    if (sound.size() < kAudioBytesPerSecond / static_cast<uint32_t>(fps))
      return Fail(inv.global, -101, audio + " holds too little audio");
  }

  if (realtime) StartSpansNow(&spans);

  StorageConfig c{};
  int top = 0;
  for (int ch = 0; ch < 32; ++ch)
    if (channels & (1u << ch)) top = ch + 1;
  c.channelCount = top;
  c.cycleRecord = 1;
  c.fifoUsers = 4;
  c.mainFifoSize = 0x100000;  // small: the engine drains the last 10 % at 20 frames a second
  c.writeCacheSize = 0x180000;
  c.playBufferSize = 0x140000;
  c.frameBufferSize = 0x100000;
  QVFS_SET_STATUS_CBAK(OnStatus);
  if (!realtime) QVFS_SetManualClock(1, spans.front().startSec * 1000);
  QVFS_Init(c);
  DiskSpaceInfo space;
  QVFS_GetDiskSpaceInfo(&space);
  if (space.diskCount == 0) return Fail(inv.global, -5002, "no record disk found");
  QVFS_RecordStart();
  std::signal(SIGINT, OnInterrupt);
  InstallProgressBar(inv.global.json);
  Recorder rec(channels, std::move(pictures), std::move(sound), static_cast<int>(fps), realtime);
  int64_t total = 0, done = 0;
  for (const Span& s : spans) total += s.seconds * 1000;
  for (const Span& s : spans)
    if (!rec.Run(s, &done, total)) break;
  QVFS_RecordStop();
  FinishProgressBar();
  std::signal(SIGINT, SIG_DFL);

  // What it wrote, as `search` prints it. Interrupted real time ends now, which may lie before the
  // last span's planned end; the search takes whichever is later.
  const int64_t from = spans.front().startSec;
  const int64_t to = std::max<int64_t>(spans.back().startSec + spans.back().seconds,
                                       realtime ? std::time(nullptr) + 1 : 0);
  std::vector<_rec_file_info_> out(65536);
  const int n = QVFS_SearchPlayList(out.data(), static_cast<int>(out.size() * sizeof out[0]), from,
                                    to + 1, static_cast<int32_t>(channels), 0, 0, 0, 1);
  if (inv.global.json) {
    JsonWriter w;
    w.BeginObject().BeginArray("records");
    for (int i = 0; i < n; ++i) {
      RecordFields(w, out[static_cast<size_t>(i)]);
    }
    w.EndArray().Field("interrupted", g_interrupted != 0).EndObject();
    PrintJson(w.str());
  } else {
    printf("%s: %d record%s written\n", g_interrupted ? "interrupted" : "done", n < 0 ? 0 : n,
           n == 1 ? "" : "s");
  }
  return kExitOk;
}
