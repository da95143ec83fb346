// CTelnetReplay: the replay sessions. Up to five replay clients (0..4) each replay any set of
// channels over one time range; every client and channel has one single-channel replay, made on
// first use and kept (Reset, never destroyed) for the manager's life. One session thread steps
// every replay of a playing client each 200 ms and carries out stop requests; consumers take
// frames per client and channel and pace themselves with ReplayWait or the client's ReplaySync.
// Seeks and mode changes act on every channel of a client, so its channels stay together.
//
// The client records (state 123 playing, 886 stop requested, 0 idle; channel and stop masks)
// are shared with the search cache. Stop requests of client 0 are marked but, as the recorder
// does, not carried out by the session thread: client 0 is the local player's.
//
// Lock rules:
// - lock_ guards the creation of replays and InitChAndTime; it comes before the client lock.
// - the client lock (the storage's search lock, given at construction) guards the client
//   records; it is never held while a replay's lock is taken.
// - a replay's slot is published once, atomically, so consumers find it without lock_.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/critical_section.h"
#include "qvfs/records.h"
#include "replay/replay_1ch.h"
#include "replay/replay_sync.h"

class SharedRecords;

enum TelnetReplayResult : int {
  ERR_SESSION_CHANNEL = -101,  // channel outside the client's row (or the 16 pacing entries)
  ERR_SESSION_CLIENT = -106,   // client id outside 0..4
  ERR_SESSION_NO_REPLAY = -114,
};

class CTelnetReplay {
 public:
  static constexpr int kClients = 5;
  static constexpr int kStepMs = 200;

  // The one-channel search InitChAndTime runs when it is given no list: channel, range (ms),
  // option; the records found go into the list, the number found is returned.
  using SearchFn = std::function<int(int ch, int64_t startMs, int64_t endMs, int option,
                                     std::vector<_rec_file_info_>* list)>;

  CTelnetReplay(int channelCount, SharedRecords* shared, CCriticalSection* clientLock,
                SearchFn search);
  // Stops the session thread (it must not outlive the replays it steps).
  ~CTelnetReplay();
  CTelnetReplay(const CTelnetReplay&) = delete;  // the replays and the thread are not shared
  CTelnetReplay& operator=(const CTelnetReplay&) = delete;

  int InitChAndTime(int client, int ch, int64_t startMs, int64_t endMs,
                    const std::vector<_rec_file_info_>* list, int option, int flag);
  // Starts the session thread unless it runs already: 0.
  int Start(int unused);
  int Stop(int client, int ch);
  int SeekTime(int client, int ch, int64_t ms);
  int SetPlayMode(int client, int ch, int mode, int speed);
  int FifoReadFrame(void* buffer, int length, int ch, int client);
  int ReplayWait(int64_t t, int ch, int client);
  int ReadGPSInfo(uint32_t seconds, void* out, int length, int ch, int client);
  int FifoClear(int ch, int client);
  int GetCurFileTimeSeg(int64_t* startMs, int64_t* endMs, int ch, int client);
  int Reset(int client, int ch);
  int DestroyClientByUserID(int client);
  int IsPlaying(int, int) { return 0; }
  bool IsPlaying() { return true; }

  // The replays whose play list holds a record of disk diskNo are reset and leave their
  // client's channel mask (before the disk is formatted). The number reset.
  int StopDisk(int diskNo);

  // A client's play-sync record (client 0..4), as QVFS_ReplaySyncWait paces it.
  ReplaySync& ClientSync(int client) { return clientSync_[client]; }
  // The mode and speed last set through SetPlayMode.
  ReplaySync& LastModeSync() { return modeSync_; }
  int channelCount() const { return channelCount_; }
  // How many session threads ever started (one at most).
  int ThreadsStarted() const { return threadsStarted_.load(); }
  // One pass of the session thread (stop requests, then Step of every playing replay).
  void Pass();

 private:
  // The replay at (client, ch), or null; client and ch must be in range.
  CReplay1CHProc* Slot(int client, int ch) const;
  // -106 / -101 / -114 for a bad client, channel or a missing replay; else 0 and *out.
  int Find(int client, int ch, CReplay1CHProc** out) const;
  void ThreadBody();
  void CarryOutStops();

  const int channelCount_;
  SharedRecords* shared_;
  CCriticalSection* clientLock_;
  SearchFn search_;
  ReplaySync modeSync_;
  ReplaySync clientSync_[kClients];
  CCriticalSection lock_;
  std::vector<std::unique_ptr<CReplay1CHProc>> owned_;                 // guarded by lock_
  std::vector<std::unique_ptr<std::atomic<CReplay1CHProc*>[]>> rows_;  // kClients rows

  std::atomic<bool> threadRunning_{false};
  std::atomic<int> threadsStarted_{0};
  std::mutex stopMutex_;
  std::condition_variable stopCv_;
  bool stopThread_ = false;  // guarded by stopMutex_
  std::thread thread_;
};
