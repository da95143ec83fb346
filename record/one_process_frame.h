// The frame-exchange interface through which the storage library reaches its frame consumers,
// and COneProcessFrame, its implementation when producer and consumer live in one process (the
// player creates one at start-up). Operations keep their slot order.
//
// What each read is wired to arrives with the layers behind it: the FIFO read with the
// recording engine's set-up, the replay reads and the pacing with the replay sessions. Until
// those are installed the reads answer as the set-up would leave them: no shared frame-buffer
// table (-2005), no FIFO (-2005), no replay on a channel (-114).
#pragma once

#include <cstdint>
#include <functional>

class CFrameExchange {
 public:
  virtual int Notify(int a, int b, int c, int d, int e) = 0;                        // 1
  virtual int ReadFrame(void* buffer, int size, int fromPlayBuffer, int index,
                        int option) = 0;                                             // 2
  virtual int Reserved3(int a, int b, int c, int d) = 0;                             // 3
  virtual int Reserved4(int a, int b, int c, int d) = 0;                             // 4
  virtual int ReadReplayFrame(void* buffer, int size, int channel, int client) = 0;  // 5
  virtual int ReplayWait(int64_t timestampMs, int wait, int client) = 0;             // 6
  virtual int ReadReplayFrameAlt(void* buffer, int size, int channel, int client) = 0;  // 7
  virtual ~CFrameExchange() = default;
};

class COneProcessFrame : public CFrameExchange {
 public:
  using FifoRead = std::function<int(int index, void* buffer, int size)>;
  using ReplayRead = std::function<int(int channel, int client, void* buffer, int size)>;
  using ReplayPace = std::function<int(int64_t timestampMs, int wait, int client)>;

  explicit COneProcessFrame(int channelCount) : channels_(channelCount) {}

  int Notify(int, int, int, int, int) override { return 0; }
  int ReadFrame(void* buffer, int size, int fromPlayBuffer, int index, int option) override;
  int Reserved3(int, int, int, int) override { return 0; }
  int Reserved4(int, int, int, int) override { return 0; }
  int ReadReplayFrame(void* buffer, int size, int channel, int client) override;
  int ReplayWait(int64_t timestampMs, int wait, int client) override;
  int ReadReplayFrameAlt(void* buffer, int size, int channel, int client) override {
    return ReadReplayFrame(buffer, size, channel, client);
  }

  // Installed by the layers behind the reads.
  void SetFifoRead(FifoRead f) { fifoRead_ = std::move(f); }
  void SetReplay(ReplayRead read, ReplayPace pace) {
    replayRead_ = std::move(read);
    replayPace_ = std::move(pace);
  }

 private:
  int channels_;
  FifoRead fifoRead_;
  ReplayRead replayRead_;
  ReplayPace replayPace_;
};
