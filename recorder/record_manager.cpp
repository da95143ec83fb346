#include "recorder/record_manager.h"

#include <ctime>
#include <cstring>

#include "api/shared_records.h"
#include "platform/clock.h"
#include "platform/messages.h"
#include "platform/platform_context.h"
#include "record/frame_strategy.h"
#include "recorder/disk_watch.h"

namespace {

constexpr int kBusyPercent = 10;
constexpr int kIdleWaitSteps = 300;  // x 10 ms: the wait for an idle record thread
constexpr int64_t kRateEveryMs = 5000;
constexpr int64_t kSpaceEveryMs = 4000;
constexpr uint32_t kHardwareError = static_cast<uint32_t>(-1004);

int EventSlot(uint32_t type) {
  switch (type) {
    case 4: return 0;
    case 8: return 1;
    case 16: return 2;
    case 32: return 3;
    default: return -1;
  }
}

bool IsEvent(uint32_t type) { return EventSlot(type) >= 0; }

}  // namespace

RecordManager::RecordManager(int channels, int stream, DiskIndexSet* set, DiskWatch* watch,
                             SharedRecords* shared)
    : stream_(stream), set_(set), watch_(watch), shared_(shared),
      slots_(static_cast<size_t>(channels)), states_(static_cast<size_t>(channels)) {
  for (int ch = 0; ch < channels; ++ch) tasks_.push_back(std::make_unique<RecordTask>(ch, set));
}

RecordManager::~RecordManager() { JoinThreads(); }

void RecordManager::SetFrameSource(FrameSource source, FifoLevel level) {
  CAutoLock g(&lock_);
  source_ = std::move(source);
  level_ = std::move(level);
}

void RecordManager::SetTimings(int diskLossPollMs, int timerStepMs) {
  diskLossPollMs_ = diskLossPollMs;
  timerStepMs_ = timerStepMs;
}

bool RecordManager::Sleep(int ms) {
  for (int waited = 0; waited < ms; waited += 10) {
    if (stop_) return false;
    platform::SleepMs(std::min(10, ms - waited));
  }
  return !stop_;
}

// ---- threads -------------------------------------------------------------------------------

void RecordManager::StartThreads() {
  if (recordRunning_ && timerRunning_) return;
  JoinThreads();
  stop_ = false;
  quit_ = false;
  everStarted_ = true;
  recordRunning_ = true;  // from now on: a restart check right after this sees it running
  recordThread_ = std::thread([this] { RecordThread(); });
  timerThread_ = std::thread([this] { TimerThread(); });
}

void RecordManager::JoinThreads() {
  quit_ = true;  // the record thread ends even while channels are active
  stop_ = true;
  if (recordThread_.joinable()) recordThread_.join();
  if (timerThread_.joinable()) timerThread_.join();
}

void RecordManager::CloseFiles() {
  CAutoLock g(&lock_);
  for (auto& t : tasks_) t->Release();
}

void RecordManager::ReleaseDisk(const std::string& path) {
  CAutoLock g(&lock_);
  for (size_t ch = 0; ch < tasks_.size(); ++ch) {
    RecordTask& t = *tasks_[ch];
    if (!t.UsesDisk(path)) continue;
    t.Close(static_cast<int>(states_[ch].type), true);
    t.Release();
  }
}

RecordTask* RecordManager::Task(int channel) {
  return channel >= 0 && channel < channelCount() ? tasks_[static_cast<size_t>(channel)].get()
                                                  : nullptr;
}

bool RecordManager::TaskActive(int channel) const {
  return channel >= 0 && channel < static_cast<int>(slots_.size()) &&
         slots_[static_cast<size_t>(channel)].active;
}

uint32_t RecordManager::CurrentType(int channel) {
  CAutoLock g(&lock_);
  return channel >= 0 && channel < channelCount() ? states_[static_cast<size_t>(channel)].type : 0;
}

// ---- record types --------------------------------------------------------------------------

void RecordManager::StartRecord(int channel, uint32_t type) {
  if (channel < 0 || channel >= channelCount()) {
    DebugLog("Over max channel num CH%02d.\n", channel);
    return;
  }
  CAutoLock g(&lock_);
  Slot& slot = slots_[static_cast<size_t>(channel)];
  if (!slot.active) {
    DebugLog("No Active record channel");
    return;
  }
  ChannelState& st = states_[static_cast<size_t>(channel)];
  RecordTask& task = *tasks_[static_cast<size_t>(channel)];
  if (type == st.type) return;
  activeMask_ |= 1u << channel;
  if (type == rec::kTypeSchedule) {
    if (st.type <= rec::kTypeSchedule) st.type = type;
  } else if (type == rec::kTypeManual) {
    if (st.type <= rec::kTypeManual) {
      if (st.type == rec::kTypeSchedule) task.Close(st.type, false);
      st.type = type;
    }
  } else if (IsEvent(type)) {
    if (!(st.type & type) || st.type < 4) {
      task.Close(st.type, false);
      st.type = (st.type < 4 || st.type > 0xFF00) ? type : (st.type | type);
    }
  }
  slot.started = true;
}

void RecordManager::StopRecord(int channel, uint32_t type, bool force, bool closeFile) {
  if (channel < 0 || channel >= channelCount()) {
    DebugLog("Over max channel  CH%02d.\n", channel);
    return;
  }
  CAutoLock g(&lock_);
  ChannelState& st = states_[static_cast<size_t>(channel)];
  RecordTask& task = *tasks_[static_cast<size_t>(channel)];
  if (type == rec::kTypeSchedule && st.type > rec::kTypeSchedule) return;
  if (type == rec::kTypeManual && !force && !(st.type & rec::kTypeManual)) return;
  if (IsEvent(type) && !force && !(st.type & type)) return;
  // The recording is closed before the channel leaves the active mask, so that its index
  // entry is closed too.
  task.Close(st.type, closeFile);
  if (type <= rec::kTypeManual) {
    st.type = 0;
    activeMask_ &= ~(1u << channel);
  } else {
    st.type &= ~type;
    if (st.type == 0) activeMask_ &= ~(1u << channel);
  }
}

void RecordManager::SetEventData(int channel, uint32_t type, int value) {
  const int slot = EventSlot(type);
  if (slot < 0) {
    DebugLog("Unsupport recordType. %d\n", static_cast<int>(type));
    return;
  }
  if (channel < 0 || channel >= channelCount()) return;
  CAutoLock g(&lock_);
  ChannelState& st = states_[static_cast<size_t>(channel)];
  st.eventSeconds[slot] = static_cast<uint32_t>(type == 8 ? value + 1 : value);
  st.eventStartSec[slot] = platform::TheClock().NowMs() / 1000;
}

void RecordManager::SetRecordMaskBit(int channel, bool on) {
  if (channel < 0) {
    recordMask_ = on ? 0xFFFFFFFFu : 0;
    return;
  }
  if (channel >= 32) return;
  if (on) recordMask_ |= 1u << channel;
  else recordMask_ &= ~(1u << channel);
}

void RecordManager::ManualStop(int channel) {
  SetRecordMaskBit(channel, false);
  if (channel >= 0) {
    StopRecord(channel, rec::kTypeManual, false, false);
    return;
  }
  for (int ch = 0; ch < channelCount(); ++ch) {
    if (!TaskActive(ch)) {
      DebugLog("No Active record channel");
      continue;
    }
    CAutoLock g(&lock_);
    ChannelState& st = states_[static_cast<size_t>(ch)];
    if (!(st.type & rec::kTypeManual)) continue;
    tasks_[static_cast<size_t>(ch)]->Close(st.type, false);
    st.type = 0;
    activeMask_ &= ~(1u << ch);
  }
}

void RecordManager::SetRecordSwitch(uint32_t mask) {
  for (int ch = 0; ch < channelCount() && ch < 32; ++ch) {
    if (!(mask & (1u << ch))) continue;
    if (!TaskActive(ch)) {
      DebugLog("No Active record channel");
      continue;
    }
    CAutoLock g(&lock_);
    ChannelState& st = states_[static_cast<size_t>(ch)];
    activeMask_ |= 1u << ch;
    if (st.type <= rec::kTypeSchedule) {
      if (st.type == rec::kTypeSchedule) tasks_[static_cast<size_t>(ch)]->Close(st.type, false);
      st.type = rec::kTypeManual;
    }
    slots_[static_cast<size_t>(ch)].started = true;
  }
}

void RecordManager::StopAll() {
  bool anyFile = false;
  for (auto& t : tasks_) anyFile = anyFile || t->HasOpenFile();
  if (activeMask_ == 0 && !anyFile) return;
  stop_ = true;
  {
    CAutoLock g(&lock_);
    // Every channel's file is closed, also of a channel whose recording ended earlier and whose
    // writer kept the file open for its next recording: its head must say where the data ends.
    for (int ch = 0; ch < channelCount(); ++ch) {
      const bool active = activeMask_ & (1u << ch);
      RecordTask& task = *tasks_[static_cast<size_t>(ch)];
      if (!active && !task.HasOpenFile()) continue;
      task.Close(active ? states_[static_cast<size_t>(ch)].type : 0, true);
      states_[static_cast<size_t>(ch)].type = 0;
    }
    activeMask_ = 0;
  }
  // Entries a writer left marked open (a close that failed) are written closed.
  for (const DiskIndexRef& d : set_->Indexes()) d->CloseWriters();
  platform::SleepMs(100);
  for (int i = 0; i < kIdleWaitSteps && !idle_; ++i) platform::SleepMs(10);
  {
    CAutoLock g(&lock_);
    for (ChannelState& st : states_) {
      st.type = 0;
      st.frameStatus = 2;
    }
  }
  ReportAllChannels(true);
  ReportDisks(true);
}

void RecordManager::SetCycle(bool on) {
  for (auto& t : tasks_) t->SetCycle(on);
  if (on) {
    ReportDisks(true);
    reportCounter_ = 0;
    diskFullReported_ = false;
  }
}

void RecordManager::SetPrepare(int /*value*/, int prepare) {
  CAutoLock g(&lock_);
  prepare_ = prepare != 0;
  prepareValue_ = prepare;
}

void RecordManager::SetResolution(uint32_t width, uint32_t height, int channel) {
  for (int ch = 0; ch < channelCount(); ++ch)
    if (channel < 0 || ch == channel) tasks_[static_cast<size_t>(ch)]->SetResolution(width, height);
}

void RecordManager::SetSchedule(int channel, const RecordSchedule& s) {
  if (channel < 0 || channel >= channelCount()) return;
  CAutoLock g(&lock_);
  states_[static_cast<size_t>(channel)].schedule = s;
}

RecordSchedule RecordManager::Schedule(int channel) {
  CAutoLock g(&lock_);
  if (channel < 0 || channel >= channelCount()) return RecordSchedule{};
  return states_[static_cast<size_t>(channel)].schedule;
}

// ---- reports -------------------------------------------------------------------------------

int RecordManager::RecordDiskCount() {
  if (!watch_) return static_cast<int>(set_->Size());
  int n = 0;
  for (const DiskRecord& d : watch_->Disks()) n += d.state == kDiskReady;
  return n;
}

void RecordManager::ReportDisks(bool force) {
  const int disks = RecordDiskCount();
  if (disks == 0) {
    const uint32_t payload[2] = {0, 0};
    shared_->ReportStatus(rec::kStatusNoDisk, payload, sizeof payload);
    return;
  }
  if (force || tasks_.empty() || tasks_[0]->cycle() || reportCounter_ < 3) {
    const uint32_t payload[2] = {0, static_cast<uint32_t>(disks)};
    shared_->ReportStatus(rec::kStatusDisks, payload, sizeof payload);
    reportCounter_ = 0;
  }
}

void RecordManager::ReportChannel(int channel, uint32_t type) {
  const uint32_t payload[3] = {static_cast<uint32_t>(channel), type,
                               static_cast<uint32_t>(set_->FreeSpaceMB())};
  shared_->ReportStatus(rec::kStatusChannelType, payload, sizeof payload);
}

void RecordManager::ReportAllChannels(bool zero) {
  for (int ch = 0; ch < channelCount(); ++ch) {
    uint32_t type = 0;
    if (!zero) {
      CAutoLock g(&lock_);
      if (tasks_[static_cast<size_t>(ch)]->recording()) type = states_[static_cast<size_t>(ch)].type;
      states_[static_cast<size_t>(ch)].reported = type;
    }
    ReportChannel(ch, type);
  }
}

// ---- the record thread ---------------------------------------------------------------------

int RecordManager::ReadyCheck(int channel) {
  if (channel < 0 || channel >= channelCount()) return -101;
  RecordTask& task = *tasks_[static_cast<size_t>(channel)];
  ChannelState& st = states_[static_cast<size_t>(channel)];
  if (!task.recording() && !task.cycle() && set_->FreeFiles() == 0) {
    CAutoLock g(&lock_);
    st.type = 0;
    return ERR_INDEX_NO_RESULT;
  }
  CAutoLock g(&lock_);
  if (st.type != 0) return 0;
  if (channel < 32 && (recordMask_ & (1u << channel))) {
    st.type = rec::kTypeManual;
    activeMask_ |= 1u << channel;
    return 0;
  }
  return -101;
}

int RecordManager::WriteFrame(int channel, const uint8_t* frame, uint32_t size) {
  RecordTask& task = *tasks_[static_cast<size_t>(channel)];
  CFrmStategy sel;
  if (sel.SelectWithin(const_cast<uint8_t*>(frame), size) != 0) return ERR_TASK_NO_TIME;
  const int64_t pts = sel.Current()->GetPts();
  const bool key = sel.Current()->GetFrameType() == frame::kTypeKey;
  const uint32_t type = CurrentType(channel);
  if (!task.recording()) {
    if (!task.fileOpen() && !key) return ERR_WRITER_NO_KEY;
    if (pts == 0) return ERR_TASK_NO_TIME;
    int r = task.Open(static_cast<int>(type), pts);
    if (r == ERR_INDEX_NO_SEGMENT) r = task.Open(static_cast<int>(type), pts);
    if (r < 0) return r;
  }
  const int r = task.Write(frame, size);
  if (r >= 0) {
    bytes_ += size;
    return r;
  }
  return HandleWriteError(channel, type, r, pts, frame, size);
}

int RecordManager::HandleWriteError(int channel, uint32_t type, int error, int64_t pts,
                                    const uint8_t* frame, uint32_t size) {
  RecordTask& task = *tasks_[static_cast<size_t>(channel)];
  const int kept = static_cast<int>(task.FilePercent());
  {
    CAutoLock g(&lock_);
    switch (error) {
      case -4012:
        DebugLog("CH%02d File is jump. size %d.\n", channel, kept);
        if (task.Close(static_cast<int>(type), false) < 0) DebugLog("Stop Record fail.\n");
        break;
      case -4009:
        DebugLog("CH%02d Record codeType switch. size %d.\n", channel, kept);
        [[fallthrough]];
      case ERR_WRITER_TIME_BACK:
      case ERR_WRITER_TIME_AHEAD:
        DebugLog("CH%02d ERR_TM_JUMP_BACK. file size %02d \n", channel, kept);
        return task.Close(static_cast<int>(type), true);
      case ERR_WRITER_NO_KEY:
        return error;
      case -4001:
        DebugLog("CH%02d File is SPACE_NOTENOUGH. size %02d \n", channel, kept);
        task.Close(static_cast<int>(type), true);
        break;
      case ERR_WRITER_OVER_FILE:
        DebugLog("CH%02d File is full. size %02d \n", channel, kept);
        task.Close(static_cast<int>(type), true);
        break;
      case -1005:
        DebugLog("CH %d  Disk write bad sector data size %d.\n", channel, static_cast<int>(size));
        task.Close(static_cast<int>(type), true);
        break;
      case -1004:
      case -1003: {  // the device refused the write: a hardware error for the recorder
        DebugLog("CH %d Disk hardware error data size %d.\n", channel, static_cast<int>(size));
        const uint32_t payload[2] = {0, 0};
        shared_->ReportStatus(rec::kStatusDiskError, payload, sizeof payload);
        task.Close(static_cast<int>(type), true);
        return static_cast<int>(kHardwareError);
      }
      default:
        task.Close(static_cast<int>(type), true);
        break;
    }
  }
  int r = task.Open(static_cast<int>(type), pts);
  if (r < 0) return r;
  r = task.Write(frame, size);
  if (r >= 0) bytes_ += size;
  return r;
}

bool RecordManager::WaitForDisk() {
  diskLost_ = true;
  {
    const uint32_t payload[2] = {0, 0};
    shared_->ReportStatus(rec::kStatusNoDisk, payload, sizeof payload);
  }
  ReportAllChannels(true);
  if (watch_) watch_->Scan();
  for (int pass = 0; RecordDiskCount() == 0 || set_->Size() == 0; ++pass) {
    if (pass < 3) {
      const uint32_t payload[2] = {0, 0};
      shared_->ReportStatus(rec::kStatusNoDisk, payload, sizeof payload);
      ReportAllChannels(true);
    }
    if (stop_) {
      DebugLog("Start out of the record loop.\n");
      return false;
    }
    for (int ch = 0; ch < channelCount(); ++ch) {
      if (!(activeMask_ & (1u << ch))) continue;
      tasks_[static_cast<size_t>(ch)]->Release();
    }
    // Between its own scans the thread looks at the disk list every 100 ms: a disk another
    // scan found (the application's, a format's) is recorded to at once, not a poll later.
    for (int waited = 0; waited < diskLossPollMs_ && (RecordDiskCount() == 0 || set_->Size() == 0);
         waited += 100)
      if (!Sleep(std::min(100, diskLossPollMs_ - waited))) return false;
    if (RecordDiskCount() > 0 && set_->Size() > 0) break;
    DebugLog("scan device time %d.\n", diskLossPollMs_);
    if (watch_) watch_->Scan();
  }
  Sleep(std::min(2000, diskLossPollMs_));
  ReportDisks(true);
  DebugLog("Detect the disk bit %x \n", static_cast<unsigned>(RecordDiskCount()));
  diskLost_ = false;
  return true;
}

void RecordManager::RecordThread() {
  if (recordThreadIn_.exchange(true)) {
    DebugLog("Thread is running.\n");
    return;
  }
  const uint32_t bufferBytes =
      static_cast<uint32_t>(std::max(shared_->params().frameBufferSize, 0x10000));
  std::vector<uint8_t> buffer(bufferBytes);
  ReportAllChannels(false);
  DebugLog(" 1111 record thread  pTask->MANUAL_SWITCH %d GetLeafFileNum %d  .\n",
           static_cast<int>(recordMask_.load()), static_cast<int>(set_->FreeFiles()));
  while (true) {
    if (set_->Size() == 0 || RecordDiskCount() == 0) {
      if (!WaitForDisk()) break;
    }
    while (!tasks_.empty() && !tasks_[0]->cycle() && activeMask_ == 0 && set_->FreeFiles() == 0 &&
           !stop_)
      Sleep(1500);
    if (stop_) {
      if (activeMask_ == 0 || quit_) break;
      platform::SleepMs(500);
      if (quit_ || (stop_ && activeMask_ == 0)) break;
      continue;
    }
    bool diskError = false;
    while (!stop_ && !diskError) {
      idle_ = false;
      if (activeMask_ == 0) {
        idle_ = true;
        Sleep(500);
        continue;
      }
      uint32_t busy = 0;
      for (int ch = 0; ch < channelCount() && !stop_; ++ch) {
        if (!slots_[static_cast<size_t>(ch)].started) continue;
        if (ReadyCheck(ch) != 0) {
          platform::SleepMs(10);
          continue;
        }
        if (level_ && level_(ch) >= kBusyPercent) busy |= 1u << ch;
        const int n = source_ ? source_(ch, buffer.data(), bufferBytes) : 0;
        if (n > 0) {
          {
            CAutoLock g(&lock_);
            states_[static_cast<size_t>(ch)].frameStatus = 1;
          }
          const int r = WriteFrame(ch, buffer.data(), static_cast<uint32_t>(n));
          if (r < 0 && r != ERR_WRITER_NO_KEY && r != ERR_TASK_NO_TIME) {
            const int disks = RecordDiskCount();
            if (disks > 0 && set_->Size() > 0) {
              DebugLog("rec_disk_num %d idx_file_num %d ", disks, static_cast<int>(set_->Size()));
              break;
            }
            diskError = true;
            break;
          }
        } else if (tasks_[static_cast<size_t>(ch)]->recording()) {
          platform::SleepMs(10);
        } else {
          CAutoLock g(&lock_);
          states_[static_cast<size_t>(ch)].frameStatus = 2;
        }
      }
      if (busy == 0) Sleep(50);
    }
    idle_ = true;
    if (diskError) {
      if (!WaitForDisk()) break;
      continue;
    }
    DebugLog("Start go out of the record loop.\n");
  }
  idle_ = true;
  recordThreadIn_ = false;
  recordRunning_ = false;
  DebugLog("End DataProcThread streamType %d .\n", stream_);
}

// ---- the timer thread ----------------------------------------------------------------------

void RecordManager::CheckEvents(int64_t nowMs) {
  const int64_t nowSec = nowMs / 1000;
  for (int ch = 0; ch < channelCount(); ++ch) {
    for (uint32_t type : {4u, 8u, 16u, 32u}) {
      uint32_t current;
      int64_t start;
      uint32_t seconds;
      {
        CAutoLock g(&lock_);
        const ChannelState& st = states_[static_cast<size_t>(ch)];
        current = st.type;
        start = st.eventStartSec[EventSlot(type)];
        seconds = st.eventSeconds[EventSlot(type)];
      }
      if (!(current & type) || current < 4) continue;
      const int64_t elapsed = nowSec > start ? nowSec - start : start - nowSec;
      if (elapsed > static_cast<int64_t>(seconds)) StopRecord(ch, type, false, false);
    }
  }
}

void RecordManager::CheckRateAndSpace(int64_t nowMs) {
  if (nowMs - rateAtMs_ > kRateEveryMs) {
    const uint64_t now = bytes_;
    rateKBps_ = static_cast<uint32_t>((now - bytesAtRate_) / 5120);
    bytesAtRate_ = now;
    rateAtMs_ = nowMs;
  }
  if (nowMs - spaceAtMs_ >= kSpaceEveryMs) {
    spaceAtMs_ = nowMs;
    if (!tasks_.empty() && !tasks_[0]->cycle() && set_->FreeFiles() == 0) {
      bool anyWriting = false;
      for (auto& t : tasks_) anyWriting |= t->recording() && t->FilePercent() < 100;
      if (!anyWriting && !diskFullReported_.exchange(true)) {
        const uint32_t payload[2] = {0, 0};
        shared_->ReportStatus(rec::kStatusDiskError, payload, sizeof payload);
      }
    }
  }
}

void RecordManager::ApplySchedules(int64_t nowMs) {
  const time_t t = static_cast<time_t>(nowMs / 1000);
  struct tm parts {};
  gmtime_r(&t, &parts);
  const int day = parts.tm_wday == 0 ? 7 : parts.tm_wday;  // Monday 1 .. Sunday 7
  const int slot = 2 * parts.tm_hour + parts.tm_min / 30;
  const bool space = set_->FreeFiles() > 0 || (!tasks_.empty() && tasks_[0]->cycle());
  for (int ch = 0; ch < channelCount(); ++ch) {
    RecordTask& task = *tasks_[static_cast<size_t>(ch)];
    if (ch < 32 && (recordMask_ & (1u << ch))) {
      if (!task.recording()) StartRecord(ch, rec::kTypeManual);
      continue;
    }
    RecordSchedule s;
    uint32_t current;
    {
      CAutoLock g(&lock_);
      s = states_[static_cast<size_t>(ch)].schedule;
      current = states_[static_cast<size_t>(ch)].type;
    }
    if (s.words[0][0] == 1) {
      const uint64_t bits = uint64_t{s.words[day][0]} | uint64_t{s.words[day][1]} << 32;
      if (bits & (1ull << slot)) {
        if (current != rec::kTypeManual && !task.recording() && space)
          StartRecord(ch, rec::kTypeSchedule);
      } else if (current == rec::kTypeSchedule) {
        StopRecord(ch, rec::kTypeSchedule, false, false);
      }
    } else if (current == rec::kTypeSchedule && task.recording()) {
      StopRecord(ch, rec::kTypeSchedule, false, false);
    }
  }
}

void RecordManager::TimerThread() {
  if (!Sleep(std::min(3000, timerStepMs_ * 10))) return;
  if (timerRunning_.exchange(true)) {
    DebugLog("TimerThread is running.\n");
    return;
  }
  ReportDisks();
  while (!stop_) {
    const int64_t now = platform::TheClock().NowMs();
    CheckEvents(now);
    for (int ch = 0; ch < channelCount(); ++ch) {
      uint32_t changed = UINT32_MAX;
      {
        CAutoLock g(&lock_);
        ChannelState& st = states_[static_cast<size_t>(ch)];
        const uint32_t type = tasks_[static_cast<size_t>(ch)]->recording() ? st.type : 0;
        if (st.frameStatus == 1 && type != st.reported) {
          st.reported = type;
          changed = type;
        } else if (st.frameStatus == 2) {
          st.frameStatus = 0;
          if (st.reported != 0) changed = 0;
          st.reported = 0;
        }
      }
      if (changed != UINT32_MAX) ReportChannel(ch, changed);
    }
    const bool haveDisks = set_->Size() > 0;
    if (haveDisks && !diskLost_) {
      CheckRateAndSpace(now);
      ApplySchedules(now);
    }
    Sleep(haveDisks ? timerStepMs_ : timerStepMs_ * 5 / 3);
  }
  for (int ch = 0; ch < channelCount(); ++ch)
    if (!(ch < 32 && (recordMask_ & (1u << ch)))) StopRecord(ch, rec::kTypeSchedule, false, false);
  ReportAllChannels(false);
  DebugLog("End time thread.\n");
  timerRunning_ = false;
}
