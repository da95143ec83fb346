// The storage context QVFS_Init builds: the per-channel frame FIFOs of the main and sub stream,
// the FIFO user table, the frame processor, the record managers, the replay sessions and the
// record switch mask.
// Every object is created once (a second QVFS_Init keeps the arrays of the first); range tests
// use the channel count the arrays were built with.
//
// Lock rule: Init and Shutdown run under the context's storage lock. The FIFOs, the managers
// and the user table have their own locks; the pointers here do not change after Init.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "api/disk_users.h"
#include "fifo/fifo_users.h"
#include "fifo/frame_fifo.h"
#include "qvfs/records.h"
#include "record/one_process_frame.h"
#include "recorder/record_manager.h"
#include "replay/telnet_replay.h"

namespace qvfs {

class Context;

class Storage {
 public:
  explicit Storage(Context* ctx) : ctx_(ctx), users_(this) {}
  ~Storage() { Shutdown(); }

  // The steps of QVFS_Init after the configuration is stored.
  int Init(const StorageConfig& config);
  // Stops the replay session thread and the record threads (tear-down of a context).
  void Shutdown();

  bool initialised() const { return builtChannels_ > 0; }
  // The channel count the arrays were built with (0 before QVFS_Init).
  int builtChannels() const { return builtChannels_; }
  // The FIFO of a channel; null before QVFS_Init, outside the arrays, or for a sub FIFO that
  // was not initialised.
  CFrameFIFO* MainFifo(int channel);
  CFrameFIFO* SubFifo(int channel);
  FifoUsers* users() { return fifoUsers_.get(); }
  RecordManager* mainManager() { return main_.get(); }
  RecordManager* subManager() { return sub_.get(); }
  COneProcessFrame* frames() { return frames_.get(); }
  // The replay sessions; null before QVFS_Init.
  CTelnetReplay* replay() { return replay_.get(); }

  std::atomic<uint32_t> recordSwitchMask{0xFFFFFFFFu};

  // What formatting asks of the recording engine and the replay sessions: the disk's recordings
  // closed, its replays reset and its index forgotten before, a new scan after (recording goes
  // on at the next key frame).
  class EngineUsers : public DiskUsers {
   public:
    explicit EngineUsers(Storage* st) : st_(st) {}
    void StopUsersOf(const std::string& deviceName) override;
    void RescanAndRestart() override;

   private:
    Storage* st_;
  };
  std::atomic<bool> threadsStarted{false};

 private:
  void InitFifos(std::vector<std::unique_ptr<CFrameFIFO>>& fifos, int channels, int32_t size);
  std::unique_ptr<RecordManager> MakeManager(int stream);
  void MakeReplay();

  Context* ctx_;
  int builtChannels_ = 0;
  std::vector<std::unique_ptr<CFrameFIFO>> mainFifos_, subFifos_;
  std::vector<bool> subReady_;
  std::unique_ptr<FifoUsers> fifoUsers_;
  std::unique_ptr<COneProcessFrame> frames_;
  std::unique_ptr<RecordManager> main_, sub_;
  std::unique_ptr<CTelnetReplay> replay_;
  // Repairs the files a power loss left open, for every scan: its read buffers are made once.
  // Used only from the scan's index-open hook, which runs under the disk watch's lock.
  std::unique_ptr<CRecordWriter> repairer_;
  EngineUsers users_;
};

}  // namespace qvfs
