#include "api/storage.h"

#include "api/context.h"
#include "index/record_search.h"
#include "platform/messages.h"
#include "record/record_writer.h"

namespace qvfs {

namespace {
constexpr int kMaxChannels = 32;  // the most a record mask holds
}  // namespace

CFrameFIFO* Storage::MainFifo(int channel) {
  if (channel < 0 || channel >= static_cast<int>(mainFifos_.size())) return nullptr;
  return mainFifos_[static_cast<size_t>(channel)].get();
}

CFrameFIFO* Storage::SubFifo(int channel) {
  if (channel < 0 || channel >= static_cast<int>(subFifos_.size())) return nullptr;
  return subReady_[static_cast<size_t>(channel)] ? subFifos_[static_cast<size_t>(channel)].get()
                                                 : nullptr;
}

void Storage::InitFifos(std::vector<std::unique_ptr<CFrameFIFO>>& fifos, int channels,
                        int32_t size) {
  if (fifos.empty())
    for (int n = 0; n < channels; ++n) fifos.push_back(std::make_unique<CFrameFIFO>(n));
  for (size_t n = 0; n < fifos.size(); ++n) {
    if (size <= 0) continue;
    if (fifos[n]->InitFrames(static_cast<uint32_t>(size)) != 0)
      DebugLog("Open ch %d fail.\n", static_cast<int>(n));
  }
}

std::unique_ptr<RecordManager> Storage::MakeManager(int stream) {
  return std::make_unique<RecordManager>(builtChannels_, stream,
                                         &ctx_->diskWatch().IndexSet(stream), &ctx_->diskWatch(),
                                         &ctx_->shared());
}

int Storage::Init(const StorageConfig& config) {
  const int channels = std::min(std::max(config.channelCount, 1), kMaxChannels);
  if (builtChannels_ == 0) builtChannels_ = channels;
  // The FIFO user table: entry 0 is the recording engine's.
  if (!fifoUsers_) fifoUsers_ = std::make_unique<FifoUsers>(std::max(config.fifoUsers, 1));
  InitFifos(mainFifos_, builtChannels_, config.mainFifoSize);
  InitFifos(subFifos_, builtChannels_, config.subFifoSize);
  subReady_.assign(subFifos_.size(), config.subFifoSize > 0);
  if (!frames_) frames_ = std::make_unique<COneProcessFrame>(builtChannels_);
  // The record thread takes frames through the frame processor's FIFO read (reader 0).
  frames_->SetFifoRead([this](int index, void* buffer, int size) {
    const int stream = index >> 16, channel = index & 0xFFFF;
    CFrameFIFO* f = stream ? SubFifo(channel) : MainFifo(channel);
    if (!f) return -2005;
    const int n = f->ReadFrame(buffer, static_cast<uint32_t>(size), 0);
    return n == FIFO_ERR_NO_FRAME ? 0 : n;
  });
  // Opening a record disk: what a power loss left open is repaired, on drives that may be
  // written.
  if (!repairer_) repairer_ = std::make_unique<CRecordWriter>(0);
  ctx_->diskWatch().SetIndexOpened([this](DiskIndex& index, bool readOnly) {
    size_t waiting;
    {
      CAutoLock g(&index.lock());
      waiting = index.repairList.size();
    }
    if (readOnly || waiting == 0) return;
    DebugLog("Start repair record.num %d\n", static_cast<int>(waiting));
    CRecordWriter& writer = *repairer_;
    index.Repair([&index, &writer](const _rec_file_info_& r, uint32_t* dataEnd, int64_t* endMs) {
      return writer.RepairFile(index.path, static_cast<uint32_t>(r.fileIndex),
                               index.recordFileBytes, r.startMs, 0, dataEnd, endMs);
    });
  });
  // A disk that left, or another disk under a known name: its recordings close (they can no
  // longer write anywhere) and the record thread starts them again on the disks present.
  ctx_->diskWatch().SetDisksLeft([this](const std::vector<std::string>& paths) {
    for (const std::string& p : paths)
      for (RecordManager* m : {main_.get(), sub_.get()})
        if (m) m->ReleaseDisk(p);
  });
  // One scan of the attached disks on this thread; it opens (and repairs) every record index.
  ctx_->diskWatch().Scan();

  const bool cycle = config.cycleRecord != 0;
  auto wire = [this](RecordManager& m, int stream) {
    m.SetFrameSource(
        [this, stream](int ch, uint8_t* buf, uint32_t size) {
          return frames_->ReadFrame(buf, static_cast<int>(size), 0, (stream << 16) | ch, 0);
        },
        [this, stream](int ch) {
          CFrameFIFO* f = stream ? SubFifo(ch) : MainFifo(ch);
          return f ? f->WaterPercent(0) : 0;
        });
  };
  if (!main_) {
    main_ = MakeManager(0);
    wire(*main_, 0);
  }
  ctx_->diskWatch().IndexSet(0).SetChannelLimit(static_cast<uint32_t>(builtChannels_));
  main_->SetCycle(cycle);  // with cycle recording on this reports 0x8001 and clears the counter
  for (int ch = 0; ch < builtChannels_; ++ch)
    if (static_cast<uint32_t>(config.mainRecordMask) & (1u << ch)) main_->StartRecord(ch, 2);
  if (config.subStreamEnabled) {
    if (!sub_) {
      sub_ = MakeManager(1);
      wire(*sub_, 1);
    }
    ctx_->diskWatch().IndexSet(1).SetChannelLimit(static_cast<uint32_t>(builtChannels_));
    sub_->SetCycle(cycle);
    for (int ch = 0; ch < builtChannels_; ++ch)
      if (static_cast<uint32_t>(config.subRecordMask) & (1u << ch)) sub_->StartRecord(ch, 2);
    sub_->SetRecordMask(static_cast<uint32_t>(config.subRecordMask));
  }
  main_->SetRecordMask(static_cast<uint32_t>(config.mainRecordMask));
  if (!replay_) MakeReplay();
  ctx_->SetDiskUsers(&users_);
  return 0;
}

void Storage::MakeReplay() {
  Context* ctx = ctx_;
  // A session given no list searches the record disks for its channel.
  auto search = [ctx](int ch, int64_t startMs, int64_t endMs, int option,
                      std::vector<_rec_file_info_>* list) {
    CAutoLock g(&ctx->searchLock());
    int found = 0;
    for (const DiskIndexRef& index : ctx->diskWatch().IndexSet(0).Indexes()) {
      const int n = SearchOneChannel(*index, ch, startMs, endMs, option == 0 ? -1 : option,
                                     kMaxChannels, *list, ctx->searchCache().window());
      if (n > 0) found += n;
    }
    return found;
  };
  replay_ = std::make_unique<CTelnetReplay>(builtChannels_, &ctx->shared(), &ctx->searchLock(),
                                            search);
  CTelnetReplay* r = replay_.get();
  frames_->SetReplay(
      [r](int channel, int client, void* buffer, int size) {
        return r->FifoReadFrame(buffer, size, channel, client);
      },
      [r](int64_t t, int wait, int client) {
        // With wait the client's first channel is paced to t, without it t becomes its
        // reference.
        ReplaySync& sync = r->ClientSync(client);
        return wait ? static_cast<int>(sync.Wait(0, t)) : sync.SetReference(0, t);
      });
}

void Storage::EngineUsers::StopUsersOf(const std::string& deviceName) {
  for (RecordManager* m : {st_->main_.get(), st_->sub_.get()})
    if (m) m->ReleaseDisk(deviceName);
  if (st_->replay_) {
    const std::vector<DiskRecord> disks = st_->ctx_->diskWatch().Disks();
    for (size_t n = 0; n < disks.size(); ++n)
      if (disks[n].name == deviceName) st_->replay_->StopDisk(static_cast<int>(n));
  }
  st_->ctx_->diskWatch().ForgetIndex(deviceName);
}

void Storage::EngineUsers::RescanAndRestart() { MountUsbThreadBody(&st_->ctx_->diskWatch()); }

void Storage::Shutdown() {
  ctx_->diskWatch().SetDisksLeft(nullptr);  // scans after this one find no engine
  // The session thread first: it reads the disks the rest closes.
  if (frames_) frames_->SetReplay(nullptr, nullptr);
  replay_.reset();
  for (RecordManager* m : {main_.get(), sub_.get()}) {
    if (!m) continue;
    m->JoinThreads();
    m->CloseFiles();  // before the devices they write to go
  }
}

}  // namespace qvfs
