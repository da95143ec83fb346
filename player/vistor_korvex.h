// The player: CBaseVistor over one record reader (client 0), the frame pacer and the decoder
// set of the video windows. The play-list thread ("ReplayProcByFile", one per process) polls
// every 500 ms: it opens the current entry when no file is open and moves to the next entry
// (the previous one in fast backward) when the open file has ended.
//
// Lock rule: lock_ (the base's) serialises the list position, the file times and the reader's
// open and close; the reader's own lock covers seeks and mode changes (taken inside the reader,
// after lock_ where both are held); the pacer's lock covers the single-frame hold and is never
// held while a frame waits. The decode threads take frames outside lock_.
#pragma once

#include <thread>

#include "player/base_vistor.h"
#include "player/decoder_set.h"
#include "player/frame_pacer.h"
#include "player/play_list.h"
#include "player/play_source.h"
#include "record/record_reader.h"

class CVistorKorvex : public CBaseVistor, public player::PlaySource {
 public:
  explicit CVistorKorvex(player::PlayList* list);
  ~CVistorKorvex() override;

  int Play(int firstIndex) override;
  int Pause() override;
  int Resume() override;
  int Stop() override;
  int CloseFile() override;
  int NextFile(bool resetToNormal) override;
  int PrevFile(bool resetToNormal) override;
  int SetChannel(int channel) override;
  int SeekPermille(int permille) override;
  int SeekSeconds(int64_t seconds) override;
  int SetMode(int mode, int speed) override;
  int OpenEntry(int index) override;
  int Poll() override;
  int StopThread() override;
  bool IsOpen() override;
  int ResetNormal() override;
  int FastForward(int speed) override;
  int FastBackward(int speed) override;
  int Slow() override;
  int SingleFrame() override;
  int Normal() override;
  int StepFrame() override;

  // The decode threads' side: the next frame of the open file into buffer (its length, or the
  // reader's code), the time of a frame taken noted as the current time.
  int TakeFrame(uint8_t* buffer, uint32_t size);
  void NoteFrameTime(int64_t ptsMs);

  // PlaySource: every window plays the one reader; a picture is painted at once and paced
  // against the window's previous frame.
  int TakeFrame(int, uint8_t* buffer, uint32_t size) override { return TakeFrame(buffer, size); }
  void NoteFrameTime(int, int64_t pts) override { NoteFrameTime(pts); }
  void Show(int window, int64_t pts, int pictures) override;
  player::DecoderSet& decoders() override { return decoders_; }
  bool Paused() const override { return paused(); }
  bool Enabled() const override { return enableFlag() == 1; }
  void CancelWaits() override { pacer_.Cancel(); }

  player::FramePacer& pacer() { return pacer_; }
  CRecordReader& reader() { return reader_; }
  bool ThreadRunning() const;
  // Milliseconds the play-list thread sleeps between polls (500; tests shorten it).
  void SetPollIntervalMs(int ms) { pollMs_ = ms; }
  // How long Play and Pause wait for the threads to follow (500 and 100 ms; tests shorten it).
  void SetSettleMs(int playMs, int pauseMs) {
    playSettleMs_ = playMs;
    pauseSettleMs_ = pauseMs;
  }

 private:
  int ChangeFastMode(int mode, int paceType, int speed);
  // Switches the player, its pacer and its reader to a mode and speed.
  void Enter(int mode, int speed, int paceType, bool hold);
  // Opens list entry i at time t (ms); 0 (-8000 from the reader counts as success) or the code.
  int OpenAt(int i, int64_t t);
  void LoadTimes(const _rec_file_info_& e);
  // Whether the reader has list record e open (the record OpenAt opened last).
  bool IsEntryOpen(const _rec_file_info_& e) const;
  int MoveOn();  // after a failed open or an ended file: PrevFile in fast backward, else NextFile
  void ReaderToNormal();
  void ThreadMain();

  player::FramePacer pacer_;
  player::DecoderSet decoders_;
  CRecordReader reader_{0};
  int channel_ = 0;
  _rec_file_info_ opened_{};  // the list record opened last, under lock_
  std::thread thread_;
  int pollMs_ = 500;
  int playSettleMs_ = 500;
  int pauseSettleMs_ = 100;
  int modeBeforePause_ = 16;
};
