// The player interface the dialogs drive: a play list of record files played one after the
// other through one record reader, in a play mode and speed, by a play-list thread that opens
// the next file whenever one ends. CVistorKorvex is the implementation; the application holds
// exactly one.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/critical_section.h"

namespace player {
class PlayList;
}

enum VistorResult : int {
  VISTOR_ERR_NO_ENTRY = -101,    // before the first entry, past the list, bad speed
  VISTOR_ERR_NO_LIST = -114,     // no play list
  VISTOR_ERR_PAST_END = -2002,   // no entry after the last
  VISTOR_ERR_LIST_DONE = -5004,  // the list is empty or played to its end
  VISTOR_ERR_THREAD = -1,        // a second play-list thread
};

class CBaseVistor {
 public:
  virtual ~CBaseVistor() = default;

  // The operations in their order.
  virtual int Play(int firstIndex) = 0;          // 1
  virtual int Pause() = 0;                       // 2
  virtual int Resume() = 0;                      // 3
  virtual int Stop() = 0;                        // 4
  virtual int CloseFile() = 0;                   // 5
  virtual int NextFile(bool resetToNormal) = 0;  // 6
  virtual int PrevFile(bool resetToNormal) = 0;  // 7
  virtual int SetChannel(int channel) = 0;       // 8
  virtual int SeekPermille(int permille) = 0;    // 9
  virtual int SeekSeconds(int64_t seconds) = 0;  // 10
  virtual int SetMode(int mode, int speed) = 0;  // 11
  virtual int OpenEntry(int index) = 0;          // 12
  virtual int Poll() = 0;                        // 13
  virtual int StopThread() = 0;                  // 14
  virtual bool IsOpen() = 0;                     // 15
  virtual int ResetNormal() = 0;                 // 16
  virtual int FastForward(int speed) = 0;        // 17
  virtual int FastBackward(int speed) = 0;       // 18
  virtual int Slow() = 0;                        // 19
  virtual int SingleFrame() = 0;                 // 20
  virtual int Normal() = 0;                      // 21
  virtual int StepFrame() = 0;                   // 22

  // The lock around the list position, the times and the reader's open and close.
  CCriticalSection& lock() { return lock_; }
  int listPosition() const { return listPos_; }
  int mode() const { return mode_; }
  int speed() const { return speed_; }
  bool paused() const { return pause_.load(); }
  bool stopRequested() const { return stop_.load(); }
  int enableFlag() const { return enable_; }

  // "%s X%d": the mode's name and the speed (an empty name for a code not in the table).
  std::string ModeText() const;
  // "%2d:%2d/%2d:%2d ": elapsed minutes and seconds in the current file and its duration;
  // stores the elapsed seconds in *elapsed when given.
  std::string TimeText(int* elapsed = nullptr) const;
  // The slider position in per mille of the current file; 0 at its start and for a file
  // shorter than a second.
  int PositionPermille() const;
  int64_t currentMs() const { return currentMs_.load(); }
  int64_t fileStartS() const { return fileStartS_.load(); }
  int64_t durationS() const { return durationS_.load(); }

  static const char* ModeName(int mode);
  static constexpr int kPositionScale = 1000;

 protected:
  mutable CCriticalSection lock_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> stopped_{false};
  std::atomic<bool> pause_{false};
  std::atomic<int> listPos_{-1};
  std::atomic<int64_t> fileStartS_{0}, fileEndS_{0}, durationS_{0};
  std::atomic<int64_t> currentMs_{0};
  int64_t openTimeMs_ = 0;
  std::atomic<int> mode_{16};
  std::atomic<int> speed_{1};
  player::PlayList* list_ = nullptr;
  int enable_ = 1;
};
