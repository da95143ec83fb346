#include "player/vistor_korvex.h"

#include <cstdio>

#include "platform/clock.h"
#include "platform/messages.h"
#include "platform/time_print.h"

namespace {

constexpr int kOpenSuccess = -8000;  // an open that reports this still opened the file
constexpr int kMaxSpeed = 32;
constexpr int kDoublingLimit = 30;  // a press past this returns to normal

// Only one play-list thread may run in the process.
std::atomic<bool> g_threadRunning{false};

}  // namespace

// ---- the base's texts ----------------------------------------------------------------------

const char* CBaseVistor::ModeName(int mode) {
  switch (mode) {
    case kModePause:
      return "暂停";
    case kModeStop:
      return "停止";
    case kModeNormal:
      return "正常";
    case kModeSingle:
      return "单帧";
    case kModeSlow:
      return "慢放";
    case kModeFast:
      return "快进";
    case kModeBack:
      return "快退";
    default:
      return "";
  }
}

std::string CBaseVistor::ModeText() const {
  char text[64];
  std::snprintf(text, sizeof text, "%s X%d", ModeName(mode_), speed_.load());
  return text;
}

std::string CBaseVistor::TimeText(int* elapsedOut) const {
  int64_t elapsed = currentMs_ / 1000 - fileStartS_;
  if (elapsed < 0) elapsed = 0;
  const int64_t duration = durationS_;
  char text[64];
  std::snprintf(text, sizeof text, "%2d:%2d/%2d:%2d ", static_cast<int>(elapsed / 60),
                static_cast<int>(elapsed % 60), static_cast<int>(duration / 60),
                static_cast<int>(duration % 60));
  if (elapsedOut) *elapsedOut = static_cast<int>(elapsed);
  return text;
}

int CBaseVistor::PositionPermille() const {
  CAutoLock g(&lock_);
  const int64_t duration = durationS_;
  const int64_t elapsed = currentMs_ / 1000 - fileStartS_;
  // A record shorter than a second has no duration to divide by: it stays at the start.
  if (duration <= 0 || elapsed <= 0) return 0;
  const int64_t p = elapsed * kPositionScale / duration;
  return static_cast<int>(p > kPositionScale ? kPositionScale : p);
}

// ---- CVistorKorvex ---------------------------------------------------------------------------

CVistorKorvex::CVistorKorvex(player::PlayList* list) { list_ = list; }

CVistorKorvex::~CVistorKorvex() {
  StopThread();
  pacer_.Cancel();
  if (thread_.joinable()) thread_.join();
  reader_.Close();
}

bool CVistorKorvex::ThreadRunning() const { return g_threadRunning.load(); }

int CVistorKorvex::Play(int firstIndex) {
  {
    // Play goes on in the open file when it is the entry asked for (a resume after a pause);
    // any other entry is opened by the play-list thread's next poll.
    CAutoLock g(&lock_);
    _rec_file_info_ e{};
    const bool same = list_ && list_->Get(firstIndex, &e) && IsEntryOpen(e);
    if (!same) reader_.Close();
    listPos_ = firstIndex;
  }
  stop_ = false;
  stopped_ = false;
  pause_ = false;
  Normal();
  if (g_threadRunning.load()) {
    DebugLog("ReplayProcByFile is running.\n");
  } else {
    if (thread_.joinable()) thread_.join();  // the previous thread ended already
    g_threadRunning = true;
    thread_ = std::thread([this] { ThreadMain(); });
  }
  platform::SleepMs(static_cast<uint32_t>(playSettleMs_));
  return 0;
}

int CVistorKorvex::Pause() {
  if (!pause_) modeBeforePause_ = mode_;
  pause_ = true;
  mode_ = kModePause;
  platform::SleepMs(static_cast<uint32_t>(pauseSettleMs_));
  return 0;
}

int CVistorKorvex::Resume() {
  pause_ = false;
  // Play goes on in the mode it had before the pause.
  if (mode_ == kModePause) mode_ = modeBeforePause_;
  platform::SleepMs(static_cast<uint32_t>(pauseSettleMs_));
  return 0;
}

int CVistorKorvex::Stop() {
  stop_ = true;
  stopped_ = true;
  pause_ = false;
  return 0;
}

void CVistorKorvex::ReaderToNormal() {
  reader_.SetReplayMode(kModeNormal, 1);
  pacer_.SetType(player::kPaceNormal, 1);
}

int CVistorKorvex::CloseFile() {
  CAutoLock g(&lock_);
  ReaderToNormal();
  reader_.ClearPlayBuffer();
  mode_ = kModeNormal;
  speed_ = 1;
  listPos_ = 0;
  reader_.Close();
  return 0;
}

void CVistorKorvex::LoadTimes(const _rec_file_info_& e) {
  const int64_t startMs = e.startMs, endMs = e.endMs;
  fileStartS_ = startMs / 1000;
  fileEndS_ = endMs / 1000;
  durationS_ = fileEndS_ - fileStartS_;
}

int CVistorKorvex::OpenAt(int i, int64_t t) {
  _rec_file_info_ e{};
  if (!list_ || !list_->Get(i, &e)) return VISTOR_ERR_NO_ENTRY;
  channel_ = e.channel;
  const int r = reader_.OpenRecord(e, t, true);
  const int64_t startMs = e.startMs;
  if (r != 0 && r != kOpenSuccess) {
    DebugLog("CH %02d diskIndex %d fileindex%d curTime %lld fail.\n ", e.channel, e.diskNo,
             e.fileIndex, static_cast<long long>(t));
    return r;
  }
  const int64_t endMs = e.endMs;
  platform::LogRange("Replay record time", startMs, endMs);
  opened_ = e;
  LoadTimes(e);
  currentMs_ = t;
  openTimeMs_ = t;
  return 0;
}

bool CVistorKorvex::IsEntryOpen(const _rec_file_info_& e) const {
  const int64_t start = e.startMs, openStart = opened_.startMs;
  return reader_.IsOpen() && e.diskNo == opened_.diskNo && e.fileIndex == opened_.fileIndex &&
         e.channel == opened_.channel && start == openStart;
}

int CVistorKorvex::NextFile(bool resetToNormal) {
  if (resetToNormal) ResetNormal();
  CAutoLock g(&lock_);
  const int count = list_ ? list_->Count() : 0;
  const int next = listPos_ + 1;
  reader_.Close();
  if (next >= count) {
    listPos_ = count;  // the play-list thread finds the list played to its end
    return VISTOR_ERR_PAST_END;
  }
  listPos_ = next;
  _rec_file_info_ e{};
  list_->Get(next, &e);
  return OpenAt(next, e.startMs);
}

int CVistorKorvex::PrevFile(bool resetToNormal) {
  if (resetToNormal) ResetNormal();
  CAutoLock g(&lock_);
  if (listPos_ < 1) return VISTOR_ERR_NO_ENTRY;
  const int prev = listPos_ - 1;
  _rec_file_info_ e{};
  if (!list_ || !list_->Get(prev, &e)) return VISTOR_ERR_NO_ENTRY;
  reader_.Close();
  listPos_ = prev;
  // Fast backward plays the previous file from its end down.
  return OpenAt(prev, mode_ == kModeBack ? int64_t{e.endMs} : int64_t{e.startMs});
}

int CVistorKorvex::SetChannel(int channel) {
  channel_ = channel;
  return 0;
}

int CVistorKorvex::SeekPermille(int permille) {
  int64_t t;
  {
    CAutoLock g(&lock_);
    t = fileStartS_ + int64_t{permille} * durationS_ / kPositionScale;
  }
  return SeekSeconds(t);
}

int CVistorKorvex::SeekSeconds(int64_t seconds) {
  CAutoLock g(&lock_);
  if (!reader_.IsOpen()) return VISTOR_ERR_NO_ENTRY;
  const int r = reader_.SeekToTime(seconds * 1000, true);
  if (r == 0) {
    currentMs_ = seconds * 1000;
    pacer_.Restart();  // the jump is not a gap to wait for
  }
  return r;
}

int CVistorKorvex::SetMode(int mode, int speed) {
  speed_ = speed;
  const int r = reader_.SetReplayMode(mode, speed);
  if (r != 0) DebugLog("Mode is error. speed %d .mode %d \n", speed, mode);
  return r;
}

int CVistorKorvex::OpenEntry(int index) {
  if (!list_) return VISTOR_ERR_NO_LIST;
  if (index < 0 || index >= list_->Count()) return VISTOR_ERR_NO_ENTRY;
  Normal();
  CAutoLock g(&lock_);
  reader_.Close();
  listPos_ = index;
  _rec_file_info_ e{};
  list_->Get(index, &e);
  return OpenAt(index, e.startMs);
}

int CVistorKorvex::MoveOn() { return mode_ == kModeBack ? PrevFile(false) : NextFile(false); }

int CVistorKorvex::Poll() {
  const int count = list_ ? list_->Count() : 0;
  const int pos = listPos_;
  if (count == 0 || pos >= count || pos < 0 || (pos == 0 && mode_ == kModeBack))
    return VISTOR_ERR_LIST_DONE;
  CAutoLock g(&lock_);
  if (!reader_.IsOpen()) {
    _rec_file_info_ e{};
    if (!list_->Get(listPos_, &e)) return VISTOR_ERR_LIST_DONE;
    const int64_t t = mode_ == kModeBack ? int64_t{e.endMs} : int64_t{e.startMs};
    if (OpenAt(listPos_, t) != 0) return MoveOn();
    return 0;
  }
  // The reader ends when it has read the last frame into the play buffer, often long before
  // the decode thread has taken it (fast forward reads a whole file's key frames at once): the
  // file is closed only once the buffer is drained.
  if (reader_.ended() && reader_.Drained()) {
    reader_.Close();
    return MoveOn();
  }
  return 0;
}

void CVistorKorvex::ThreadMain() {
  while (!stop_) {
    Poll();
    for (int waited = 0; waited < pollMs_ && !stop_; waited += 50)
      platform::SleepMs(static_cast<uint32_t>(pollMs_ - waited < 50 ? pollMs_ - waited : 50));
  }
  DebugLog("End thread .\n");
  CloseFile();
  g_threadRunning = false;
}

int CVistorKorvex::StopThread() {
  stop_ = true;
  for (int i = 0; i < 30 && g_threadRunning.load(); ++i) platform::SleepMs(100);
  if (!g_threadRunning.load() && thread_.joinable()) thread_.join();
  return 0;
}

bool CVistorKorvex::IsOpen() { return reader_.IsOpen(); }

void CVistorKorvex::Enter(int mode, int speed, int paceType, bool hold) {
  mode_ = mode;
  speed_ = speed;
  pacer_.SetType(paceType, speed);
  pacer_.SetHold(hold);
  reader_.SetReplayMode(mode, speed);
}

int CVistorKorvex::ResetNormal() {
  Enter(kModeNormal, 1, player::kPaceNormal, false);
  return 0;
}

int CVistorKorvex::ChangeFastMode(int mode, int paceType, int speed) {
  if (speed == 0) {
    // A button press: the speed doubles from 2 (restarting when the mode changes); past 30 the
    // player returns to normal play.
    const int next = mode_ == mode ? speed_ * 2 : 2;
    if (next > kDoublingLimit) return ResetNormal();
    Enter(mode, next, paceType, false);
    return 0;
  }
  if (speed < 0 || speed > kMaxSpeed) {
    DebugLog("Speed is error. speed %d .mode %d \n", speed, mode);
    return VISTOR_ERR_NO_ENTRY;
  }
  mode_ = mode;
  speed_ = speed;
  pacer_.SetType(paceType, speed);
  // The reader re-seeks to the frame last taken only when its mode or speed changes.
  if (reader_.mode() != mode || reader_.speed() != speed) reader_.SetReplayMode(mode, speed);
  return 0;
}

int CVistorKorvex::FastForward(int speed) {
  return ChangeFastMode(kModeFast, player::kPaceFast, speed);
}

int CVistorKorvex::FastBackward(int speed) {
  return ChangeFastMode(kModeBack, player::kPaceBack, speed);
}

int CVistorKorvex::Slow() {
  const int next = mode_ == kModeSlow ? speed_ * 2 : 2;
  if (next > kDoublingLimit) return ResetNormal();
  Enter(kModeSlow, next, player::kPaceSlow, false);
  return 0;
}

int CVistorKorvex::SingleFrame() {
  Enter(kModeSingle, 1, player::kPaceSingle, true);
  return 0;
}

int CVistorKorvex::Normal() {
  // A frame held for a step is let go first, then the pacing of the old mode runs out.
  pacer_.SetType(player::kPaceNormal, 1);
  pacer_.WaitIdle(2000);
  Enter(kModeNormal, 1, player::kPaceNormal, false);
  return 0;
}

int CVistorKorvex::StepFrame() {
  pacer_.StepFrame();
  return 0;
}

int CVistorKorvex::TakeFrame(uint8_t* buffer, uint32_t size) {
  return reader_.GetFrame(buffer, size);
}

void CVistorKorvex::Show(int window, int64_t pts, int pictures) {
  if (pictures > 0) decoders_.PaintLast(window);
  pacer_.Pace(pts, window);
}

void CVistorKorvex::NoteFrameTime(int64_t ptsMs) {
  currentMs_ = ptsMs;
  const int64_t s = ptsMs / 1000;
  if (s >= fileStartS_ && s <= fileEndS_) return;
  // The frame lies outside the times shown: they are taken again from the current entry.
  CAutoLock g(&lock_);
  _rec_file_info_ e{};
  if (list_ && list_->Get(listPos_, &e)) LoadTimes(e);
}
