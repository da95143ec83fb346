// The player's decode threads: one per video window whose bit is set in the window mask. Each
// takes frames from its play source (the single-channel player's reader, or a tile of the
// multi-channel player) into a 1 MiB frame buffer, skips audio, hands the video payload (after
// the frame's own header) to its window's decoder slot and lets the source show the picture at
// its time. Starting them registers the FIFO user "live video" with the storage library.
//
// Lock rule: lock_ guards the pause request; the threads wait on wake_ with it released.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

class CFrmStategy;

namespace player {

class PlaySource;

class DecodeThreads {
 public:
  static constexpr uint32_t kFrameBufferBytes = 1 << 20;
  static constexpr const char* kFifoUser = "live video";

  explicit DecodeThreads(PlaySource* source);
  ~DecodeThreads();

  // Starts a thread for each window bit of mask (once; later calls do nothing). The number of
  // threads running.
  int Start(uint32_t windowMask = 1);
  // Holds the threads (the pause request) or lets them go on.
  void Hold();
  void Release();
  bool held() const;
  // Ends and joins every thread.
  void StopAll();

  // Frames seen by window n's thread: video handed to the decoder, and audio skipped.
  uint64_t videoFrames(int n) const;
  uint64_t audioFrames(int n) const;

 private:
  struct Counters {
    std::atomic<uint64_t> video{0}, audio{0};
  };
  void Run(int window);
  // Sleeps up to ms, waking early on a stop or a release; false once stopping.
  bool Nap(int ms);
  // One frame: taken, selected, decoded and paced. False when there was none.
  bool OneFrame(int window, std::vector<uint8_t>& buffer, CFrmStategy& selector);

  PlaySource* source_;
  mutable std::mutex lock_;
  std::condition_variable wake_;
  bool pauseRequest_ = false;
  std::atomic<bool> stop_{false};
  std::vector<std::thread> threads_;
  Counters counters_[16];
};

}  // namespace player
