#include "replay/telnet_replay.h"

#include <algorithm>
#include <cstring>

#include "api/shared_records.h"
#include "platform/messages.h"
#include "record/record_format.h"

namespace {
constexpr uint64_t kAllChannels = ~uint64_t{0};
constexpr int kDropChannel = -3001;  // a Step result that takes the channel out of its client
}  // namespace

CTelnetReplay::CTelnetReplay(int channelCount, SharedRecords* shared,
                             CCriticalSection* clientLock, SearchFn search)
    : channelCount_(channelCount > 0 ? channelCount : 16),
      shared_(shared),
      clientLock_(clientLock),
      search_(std::move(search)) {
  for (int c = 0; c < kClients; ++c) {
    rows_.emplace_back(new std::atomic<CReplay1CHProc*>[static_cast<size_t>(channelCount_)]);
    for (int ch = 0; ch < channelCount_; ++ch) rows_.back()[ch].store(nullptr);
  }
}

CTelnetReplay::~CTelnetReplay() {
  {
    std::lock_guard<std::mutex> g(stopMutex_);
    stopThread_ = true;
  }
  stopCv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

CReplay1CHProc* CTelnetReplay::Slot(int client, int ch) const {
  return rows_[static_cast<size_t>(client)][ch].load(std::memory_order_acquire);
}

int CTelnetReplay::Find(int client, int ch, CReplay1CHProc** out) const {
  if (client < 0 || client >= kClients) return ERR_SESSION_CLIENT;
  if (ch < 0 || ch >= channelCount_) return ERR_SESSION_CHANNEL;
  *out = Slot(client, ch);
  return *out ? 0 : ERR_SESSION_NO_REPLAY;
}

// ---- control -------------------------------------------------------------------------------

int CTelnetReplay::InitChAndTime(int client, int ch, int64_t startMs, int64_t endMs,
                                 const std::vector<_rec_file_info_>* list, int option, int) {
  if (client < 0 || client >= kClients) return ERR_SESSION_CLIENT;
  if (ch < 0 || ch >= channelCount_) return ERR_SESSION_CHANNEL;
  CAutoLock g(&lock_);
  CReplay1CHProc* replay = Slot(client, ch);
  if (!replay) {
    owned_.push_back(std::make_unique<CReplay1CHProc>(client, ch));
    replay = owned_.back().get();
    rows_[static_cast<size_t>(client)][ch].store(replay, std::memory_order_release);
  }
  replay->Reset();
  int count;
  if (list && !list->empty()) {
    count = replay->Init(*list, startMs, endMs, option);
  } else {
    std::vector<_rec_file_info_> found;
    const int n = search_ ? search_(ch, startMs, endMs, option, &found) : 0;
    DebugLog("SearchFileOneCH record Num %d .\n ", n);
    // Nothing found is said so, not reported as a session that plays.
    count = found.empty() ? ERR_REPLAY_NO_ITEM : replay->Init(found, startMs, endMs, option);
  }
  uint64_t mask;
  {
    CAutoLock c(clientLock_);
    ClientRecord& rec = shared_->client(client);
    rec.userId = client;
    rec.channelMask |= uint64_t{1} << ch;
    rec.startMs = startMs;
    rec.endMs = endMs;
    rec.state = ClientRecord::kPlaying;
    mask = rec.channelMask;
  }
  DebugLog("InitChAndTime OK client ID %d ch %d chBIT %lld \n", client, ch,
           static_cast<long long>(mask));
  return count;
}

int CTelnetReplay::Start(int) {
  bool expected = false;
  if (!threadRunning_.compare_exchange_strong(expected, true)) return 0;  // one thread only
  {
    std::lock_guard<std::mutex> g(stopMutex_);
    stopThread_ = false;
  }
  thread_ = std::thread(&CTelnetReplay::ThreadBody, this);
  return 0;
}

int CTelnetReplay::Stop(int client, int ch) {
  CAutoLock c(clientLock_);
  if (client == -1) {
    for (int n = 0; n < kClients; ++n) {
      shared_->client(n).state = ClientRecord::kStopRequested;
      shared_->client(n).stopMask = kAllChannels;
    }
    return 0;
  }
  if (client < 0 || client > 3) return ERR_SESSION_CLIENT;
  ClientRecord& rec = shared_->client(client);
  rec.state = ClientRecord::kStopRequested;
  if (ch == -1) rec.stopMask = kAllChannels;
  else if (ch >= 0 && ch < 64) rec.stopMask |= uint64_t{1} << ch;
  return 0;
}

int CTelnetReplay::SeekTime(int client, int ch, int64_t ms) {
  if (client < 0 || client >= kClients) return ERR_SESSION_CLIENT;
  int r = ERR_SESSION_NO_REPLAY;
  for (int k = 0; k < channelCount_; ++k) {
    CReplay1CHProc* replay = Slot(client, k);
    if (!replay) continue;
    DebugLog("ClientID %d ch %d.\n", client, ch);
    r = replay->SeekTime(ms);
  }
  return r;
}

int CTelnetReplay::SetPlayMode(int client, int ch, int mode, int speed) {
  CReplay1CHProc* at;
  const int found = Find(client, ch, &at);
  if (found != 0) return found;
  // A refused mode or speed is reported (not 0), after every channel was tried.
  int result = 0;
  for (int k = 0; k < channelCount_; ++k) {
    CReplay1CHProc* replay = Slot(client, k);
    const int r = replay ? replay->SetPlayMode(mode, speed) : 0;
    if (r == 0 || r == -1) continue;  // -1: a stopped channel, nothing to change
    DebugLog("SetPlayMode fail! CH%02d  playMode %02d speed %d .\n", k, mode, speed);
    result = r;
  }
  if (result == 0) modeSync_.SetModeAndSpeed(mode, speed);
  return result;
}

// ---- consumers -----------------------------------------------------------------------------

int CTelnetReplay::FifoReadFrame(void* buffer, int length, int ch, int client) {
  CReplay1CHProc* replay;
  const int r = Find(client, ch, &replay);
  if (r != 0) return r;
  if (!buffer || length <= 0) return ERR_SESSION_CHANNEL;
  return replay->ReadFrame(buffer, static_cast<uint32_t>(length));
}

int CTelnetReplay::ReplayWait(int64_t t, int ch, int client) {
  CReplay1CHProc* replay;
  const int r = Find(client, ch, &replay);
  if (r != 0) return r;
  replay->Wait(t);
  return 0;
}

int CTelnetReplay::ReadGPSInfo(uint32_t seconds, void* out, int length, int ch, int client) {
  CReplay1CHProc* replay;
  const int r = Find(client, ch, &replay);
  if (r != 0) return r;
  recfile::GpsEntry gps{};
  const int g = replay->reader().GetGpsInfo(seconds, &gps);
  if (out && length > 0)
    std::memcpy(out, &gps, std::min<size_t>(static_cast<size_t>(length), sizeof gps));
  return g;
}

int CTelnetReplay::FifoClear(int ch, int client) {
  CReplay1CHProc* replay;
  const int r = Find(client, ch, &replay);
  if (r != 0) return r;
  replay->reader().ClearPlayBuffer();
  return 0;
}

int CTelnetReplay::GetCurFileTimeSeg(int64_t* startMs, int64_t* endMs, int ch, int client) {
  CReplay1CHProc* replay;
  const int r = Find(client, ch, &replay);
  if (r == ERR_SESSION_NO_REPLAY) return ERR_SESSION_CHANNEL;
  if (r != 0) return r;
  int64_t s, e;
  replay->GetCurFileTimeSeg(&s, &e);
  if (startMs) *startMs = s;
  if (endMs) *endMs = e;
  return 0;
}

int CTelnetReplay::Reset(int client, int ch) {
  CReplay1CHProc* replay;
  const int r = Find(client, ch, &replay);
  if (r == ERR_SESSION_NO_REPLAY) return 0;
  if (r != 0) return r;
  replay->Reset();
  return 0;
}

int CTelnetReplay::DestroyClientByUserID(int client) {
  if (client < 0 || client >= kClients) return ERR_SESSION_CLIENT;
  CAutoLock c(clientLock_);
  shared_->client(client).userId = ClientRecord::kFree;
  return 0;
}

int CTelnetReplay::StopDisk(int diskNo) {
  int count = 0;
  for (int client = 0; client < kClients; ++client) {
    for (int ch = 0; ch < channelCount_; ++ch) {
      CReplay1CHProc* replay = Slot(client, ch);
      if (!replay || !replay->UsesDisk(diskNo)) continue;
      replay->Reset();
      ++count;
      CAutoLock c(clientLock_);
      shared_->client(client).channelMask &= ~(uint64_t{1} << ch);
    }
  }
  return count;
}

// ---- the session thread --------------------------------------------------------------------

void CTelnetReplay::CarryOutStops() {
  for (int client = 1; client < kClients; ++client) {
    // Which channels to stop, decided under the client lock; the resets run outside it.
    std::vector<int> toReset;
    {
      CAutoLock c(clientLock_);
      ClientRecord& rec = shared_->client(client);
      if (rec.state != ClientRecord::kStopRequested) continue;
      for (int ch = 0; ch < channelCount_ && ch < 64; ++ch) {
        const uint64_t bit = uint64_t{1} << ch;
        if (!Slot(client, ch) || !(rec.stopMask & bit)) continue;
        toReset.push_back(ch);
        rec.stopMask &= ~bit;
        rec.channelMask &= ~bit;
        if (rec.channelMask == 0) rec.userId = ClientRecord::kFree;
      }
      rec.state = 0;
    }
    for (int ch : toReset) Slot(client, ch)->Reset();
  }
}

void CTelnetReplay::Pass() {
  CarryOutStops();
  for (int client = 0; client < kClients; ++client) {
    {
      CAutoLock c(clientLock_);
      const int32_t state = shared_->client(client).state;
      if (state == 0 || state == ClientRecord::kStopRequested) continue;
    }
    for (int ch = 0; ch < channelCount_; ++ch) {
      CReplay1CHProc* replay = Slot(client, ch);
      if (!replay || replay->Step() != kDropChannel) continue;
      CAutoLock c(clientLock_);
      shared_->client(client).channelMask &= ~(uint64_t{1} << ch);
    }
  }
}

void CTelnetReplay::ThreadBody() {
  threadsStarted_.fetch_add(1);
  std::unique_lock<std::mutex> g(stopMutex_);
  while (!stopThread_) {
    g.unlock();
    Pass();
    g.lock();
    stopCv_.wait_for(g, std::chrono::milliseconds(kStepMs), [this] { return stopThread_; });
  }
}
