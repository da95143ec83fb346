// The exported playback functions: thin entry points onto the replay sessions QVFS_Init made.
// Times in seconds are multiplied by 1000 before they reach the sessions; those whose seconds do
// not fit 32 bits (0 .. 2^32 - 1) are refused with -101 first. Before QVFS_Init there are no
// sessions and every function answers -2005.
#include <cstdint>

#include "api/context.h"
#include "platform/messages.h"
#include "platform/time_print.h"
#include "qvfs/qvfs.h"

namespace {

constexpr int kErrNotInitialised = -2005;
constexpr int kModeNormal = 16;
constexpr int kErrBadTime = -101;

qvfs::Context& Ctx() { return qvfs::Context::Current(); }
CTelnetReplay* Sessions() { return Ctx().storage().replay(); }
bool ValidClient(int client) { return client >= 0 && client < CTelnetReplay::kClients; }
bool SecondsValid(int64_t s) { return s >= 0 && s <= int64_t{UINT32_MAX}; }

// The checks of a replay's start: 0, or the code to return.
int CheckReplay(CTelnetReplay& s, int64_t start, int64_t end, int channel, int client) {
  if (channel < 0 || channel >= s.channelCount()) return ERR_SESSION_CHANNEL;
  if (!ValidClient(client)) return ERR_SESSION_CLIENT;
  if (!SecondsValid(start) || !SecondsValid(end)) {
    DebugLog("Error replay time %lld %lld.\n", static_cast<long long>(start),
             static_cast<long long>(end));
    return kErrBadTime;
  }
  platform::LogRange("telnet replay time", start * 1000, end * 1000);
  return 0;
}

// The client's stored search result for a channel (empty when it has none).
std::vector<_rec_file_info_> StoredResult(int client, int channel) {
  qvfs::Context& ctx = Ctx();
  CAutoLock g(&ctx.searchLock());
  const ResultMap& results = ctx.searchCache().Results(client);
  const auto it = results.find(channel);
  return it == results.end() ? std::vector<_rec_file_info_>{} : it->second;
}

// The one-record play list of QVFS_TelnetReplay: the record file on disk 0 that holds the
// channel's first recording meeting the range, over the part of the range it covers. Empty
// when disk 0 holds none.
std::vector<_rec_file_info_> DiskZeroRecord(int channel, int64_t startMs, int64_t endMs) {
  qvfs::Context& ctx = Ctx();
  CAutoLock g(&ctx.searchLock());
  RecordList found;
  for (const DiskIndexRef& index : ctx.diskWatch().IndexSet(0).Indexes())
    SearchOneChannel(*index, channel, startMs, endMs, -1, 32, found, ctx.searchCache().window());
  const _rec_file_info_* first = nullptr;
  for (const _rec_file_info_& r : found)
    if (r.diskNo == 0 && (!first || r.startMs < first->startMs)) first = &r;
  if (!first) return {};
  _rec_file_info_ one = *first;
  one.segmentNo = 0;
  int64_t fileStart = first->startMs, fileEnd = first->endMs;
  for (const _rec_file_info_& r : found) {
    if (r.diskNo != 0 || r.fileIndex != first->fileIndex) continue;
    const int64_t recordStart = r.startMs, recordEnd = r.endMs;  // packed: copied out
    fileStart = std::min(fileStart, recordStart);
    fileEnd = std::max(fileEnd, recordEnd);
  }
  one.startMs = std::max(fileStart, startMs);
  one.endMs = std::min(fileEnd, endMs);
  return {one};
}

// InitChAndTime with a list, the thread started on success, the client's pacing record reset
// to normal play.
int StartSession(int64_t start, int64_t end, int channel, int client,
                 const std::vector<_rec_file_info_>& list) {
  CTelnetReplay* s = Sessions();
  const int r = s->InitChAndTime(client, channel, start * 1000, end * 1000, &list, -1, 0);
  if (r >= 0) s->Start(0);
  if (ValidClient(client)) {
    s->ClientSync(client).SetChannelCount(s->channelCount());
    s->ClientSync(client).SetModeAndSpeed(kModeNormal, 1);
  }
  return r;
}

}  // namespace

extern "C" {

QVFS_API int QVFS_PlaybackBytime(int64_t start, int64_t end, int channel, int client) {
  DebugLog("Telnet replay channel %d clientID %d.\n ", channel, client);
  CTelnetReplay* s = Sessions();
  if (!s) return kErrNotInitialised;
  if (const int r = CheckReplay(*s, start, end, channel, client)) return r;
  return StartSession(start, end, channel, client, StoredResult(client, channel));
}

QVFS_API int QVFS_TelnetReplay(int64_t start, int64_t end, int channel, int client) {
  DebugLog("Telnet replay ch %d clientID %d.\n ", channel, client);
  CTelnetReplay* s = Sessions();
  if (!s) return kErrNotInitialised;
  if (const int r = CheckReplay(*s, start, end, channel, client)) return r;
  const std::vector<_rec_file_info_> list = DiskZeroRecord(channel, start * 1000, end * 1000);
  if (list.empty()) return ERR_REPLAY_NO_ITEM;
  return StartSession(start, end, channel, client, list);
}

QVFS_API int QVFS_PlaybackStop(int channel, int client) {
  CTelnetReplay* s = Sessions();
  return s ? s->Stop(client, channel) : kErrNotInitialised;
}

QVFS_API int QVFS_DownloadStop(int client, int channel) {
  CTelnetReplay* s = Sessions();
  return s ? s->Stop(client, channel) : kErrNotInitialised;
}

QVFS_API int QVFS_PlaybackSeekTime(int64_t time, int channel, int client) {
  CTelnetReplay* s = Sessions();
  if (!s) return kErrNotInitialised;
  if (!SecondsValid(time)) return kErrBadTime;
  platform::LogRange("PLAYBACK_SEEKTIME", time * 1000, time * 1000);
  return s->SeekTime(client, channel, time * 1000);
}

QVFS_API int QVFS_PlaybackSetMode(int mode, int speed, int channel, int client) {
  CTelnetReplay* s = Sessions();
  if (!s) return kErrNotInitialised;
  const int r = s->SetPlayMode(client, channel, mode, speed);
  if (r == 0 && ValidClient(client)) s->ClientSync(client).SetModeAndSpeed(mode, speed);
  return r;
}

QVFS_API int QVFS_ReplayFifoReadFrame(uint8_t* buffer, int bufferSize, int channel, int client) {
  CTelnetReplay* s = Sessions();
  return s ? s->FifoReadFrame(buffer, bufferSize, channel, client) : kErrNotInitialised;
}

QVFS_API int QVFS_ReplaySyncWait(int64_t timestampMs, int shared, int channel, int client) {
  CTelnetReplay* s = Sessions();
  if (!s) return kErrNotInitialised;
  if (!ValidClient(client)) return ERR_SESSION_CLIENT;
  const int64_t delay = s->ClientSync(client).Wait(channel, timestampMs);
  if (delay < 0) return static_cast<int>(delay);
  return shared ? 0 : static_cast<int>(delay);
}

QVFS_API int QVFS_ReplayFifoClear(int channel, int client) {
  CTelnetReplay* s = Sessions();
  return s ? s->FifoClear(channel, client) : kErrNotInitialised;
}

}  // extern "C"
