// The multi-channel player, beside the single-channel CVistorKorvex: up to 16 tiles, each
// playing one channel through its own record reader (a ChannelTrack), decoder slot and decode
// thread, all following one play clock. Every mode (normal, pause, single frame, slow, fast
// forward and backward) and every seek is a change of the clock; the tiles follow it, so they
// stay in step: a decoded picture is painted when the clock reaches its time stamp, a picture
// the clock has passed by too far is dropped, and a tile whose channel has no recording at the
// clock's time waits for the next one.
//
// Lock rule: a tile's track belongs to the tile's decode thread alone. The UI thread changes
// what a tile plays by setting its channel and moving its wanted version on; the thread takes
// the change at its next frame, so the UI never waits for a read or a clock wait. lock_ guards
// the recordings, the layout and the solo tile; it is held only to copy or change them.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "player/channel_track.h"
#include "player/decode_threads.h"
#include "player/decoder_set.h"
#include "player/play_clock.h"
#include "player/play_source.h"
#include "qvfs/records.h"

class CMultiVistor : public player::PlaySource {
 public:
  static constexpr int kTiles = 16;
  // A picture painted this late (ms of the clock) is dropped instead.
  static constexpr int64_t kLateMs = 120;

  // What a tile shows, for the windows and the measurements.
  struct TileView {
    int channel = -1;             // -1: no channel assigned
    bool recording = false;       // a record of the channel holds the clock's time
    int64_t lastPts = 0;          // the time stamp of the picture painted last (0: none yet)
    int64_t lastPaintSteadyMs = 0;
    uint64_t painted = 0, dropped = 0, resyncs = 0;
  };

  CMultiVistor();
  ~CMultiVistor() override;

  // The recordings to play (a search's records of any channels). Every tile keeps its channel
  // and follows the clock afresh.
  void SetRecords(std::vector<_rec_file_info_> records);
  // The channels that hold recordings, in order.
  std::vector<int> Channels() const;
  // The earliest and latest times of the recordings (0, 0 without any).
  void Span(int64_t* startMs, int64_t* endMs) const;

  // Layouts of 1, 4, 9 or 16 tiles (anything else is refused with false).
  bool SetLayout(int tiles);
  int layout() const;
  // Tile n plays channel (-1: none). False for a tile out of range.
  bool AssignChannel(int tile, int channel);
  // Tiles 0.. play the channels with recordings, in order; the rest none.
  void AssignDefault();
  // One tile alone (a double-click), or -1 for the grid again.
  void SetSolo(int tile);
  int solo() const;
  // Whether tile n is shown in the current layout (and solo choice).
  bool TileShown(int tile) const;
  TileView view(int tile) const;
  // The largest gap between the time stamps painted last by the shown tiles that play a
  // recording now (ms); 0 with fewer than two.
  int64_t SkewMs() const;

  // Play from time t (ms) in normal play; the decode threads start with the first call.
  void Play(int64_t t);
  void Seek(int64_t t);
  void Pause();
  void Resume();
  void Normal();
  // A press doubles the speed from 2 (from the mode's start), past 16 back to normal play, as
  // the single-channel player does; a speed given sets it.
  void Slow();
  void FastForward(int speed = 0);
  void FastBackward(int speed = 0);
  void SingleFrame();
  void StepFrame();
  // Ends the threads and closes every reader.
  void Stop();

  player::PlayClock& clock() { return clock_; }
  // The surface of tile n (a video window; null: none).
  void SetSurface(int tile, player::VideoSurface* surface);

  // PlaySource.
  int TakeFrame(int window, uint8_t* buffer, uint32_t size) override;
  void NoteFrameTime(int, int64_t) override {}
  void Show(int window, int64_t pts, int pictures) override;
  player::DecoderSet& decoders() override { return decoders_; }
  bool Paused() const override { return false; }  // a paused clock holds the tiles itself
  bool Enabled() const override { return true; }
  int IdleMs() const override { return 0; }  // a track waits on the clock itself
  void CancelWaits() override { clock_.Cancel(); }

 private:
  struct Tile {
    explicit Tile(int n) : track(n) {}
    player::ChannelTrack track;  // the decode thread's
    std::atomic<int> channel{-1};
    std::atomic<uint64_t> wanted{1};  // moved on by every change the thread must take
    uint64_t applied = 0;             // the decode thread's: the last change taken
    std::atomic<player::VideoSurface*> surface{nullptr};
    std::atomic<int64_t> lastPts{0}, lastPaintSteadyMs{0};
    std::atomic<uint64_t> painted{0}, dropped{0}, resyncs{0};
    // The decode thread's: the frame being shown belongs to this clock generation and this
    // repositioning of the track; drops count only once a picture was painted since.
    uint64_t frameGeneration = 0, frameRepositions = 0, paintedRepositions = UINT64_MAX;
  };
  // The decode thread takes the tile's changes: the channel's recordings afresh.
  void TakeChanges(Tile& tile);
  bool TileShownLocked(int tile) const;
  std::array<bool, kTiles> ShownLocked() const;
  // Every tile shown now that was not in `shownBefore` starts from the clock (under lock_).
  void RestartShownAgain(const std::array<bool, kTiles>& shownBefore);
  void ChangeMode(int mode, int speed);
  // A press of a speed button: doubles from 2, past 30 back to normal (0).
  int DoublingSpeed(int mode) const;
  void StartThreads();

  player::PlayClock clock_;
  player::DecoderSet decoders_;
  std::array<std::unique_ptr<Tile>, kTiles> tiles_;
  mutable std::mutex lock_;
  std::vector<_rec_file_info_> records_;
  int layout_ = 4;
  int solo_ = -1;
  bool started_ = false;
  player::DecodeThreads threads_{this};
};
