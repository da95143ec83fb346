#include "record/one_process_frame.h"

namespace {
constexpr int kNoTable = -2005;   // no shared frame-buffer table / no FIFO
constexpr int kBadChannel = -101;
constexpr int kBadClient = -106;
constexpr int kNoReplay = -114;
constexpr int kClients = 5;
}  // namespace

int COneProcessFrame::ReadFrame(void* buffer, int size, int fromPlayBuffer, int index, int) {
  // The shared frame-buffer table is created by no set-up step: that path never has one.
  if (fromPlayBuffer) return kNoTable;
  return fifoRead_ ? fifoRead_(index, buffer, size) : kNoTable;
}

int COneProcessFrame::ReadReplayFrame(void* buffer, int size, int channel, int client) {
  if (channel < 0 || channel >= channels_) return kBadChannel;
  if (client < 0 || client >= kClients || !replayRead_) return kNoReplay;
  return replayRead_(channel, client, buffer, size);
}

int COneProcessFrame::ReplayWait(int64_t timestampMs, int wait, int client) {
  if (client < 0 || client >= kClients) return kBadClient;
  return replayPace_ ? replayPace_(timestampMs, wait, client) : 0;
}
