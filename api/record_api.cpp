// The exported recording and frame-FIFO functions: thin entry points onto the record managers
// and the per-channel FIFOs that QVFS_Init built.
#include <cstring>

#include "api/context.h"
#include "platform/messages.h"
#include "qvfs/qvfs.h"

namespace {

constexpr int kErrNoFifo = -2005;
constexpr int kErrChannel = -110;
constexpr int kErrBadUser = -106;
constexpr int kErrNoCapacity = -114;

qvfs::Context& Ctx() { return qvfs::Context::Current(); }
qvfs::Storage& St() { return Ctx().storage(); }

// Every channel meant (-1: all of them) of a manager.
template <typename Fn>
void ForChannels(RecordManager& m, int channel, Fn fn) {
  if (channel >= 0) {
    fn(channel);
    return;
  }
  for (int ch = 0; ch < m.channelCount(); ++ch) fn(ch);
}

// A FIFO by stream; the codes of a missing array or channel.
int FindFifo(int channel, bool sub, CFrameFIFO** out) {
  if (!St().initialised()) return kErrNoFifo;
  if (channel < 0 || channel >= St().builtChannels()) return kErrChannel;
  *out = sub ? St().SubFifo(channel) : St().MainFifo(channel);
  return *out ? 0 : kErrNoFifo;
}

int WriteFifo(uint8_t* data, int length, int frameType, int channel, bool sub) {
  CFrameFIFO* f = nullptr;
  if (int r = FindFifo(channel, sub, &f)) return r;
  if (length <= 0 || !data) return -2002;
  return f->WriteFrame(data, static_cast<uint32_t>(length), static_cast<uint8_t>(frameType));
}

int Water(int channel, int user, bool sub) {
  CFrameFIFO* f = nullptr;
  if (int r = FindFifo(channel, sub, &f)) return r;
  if (f->capacity() == 0) return 0;
  if (user == 0) return static_cast<int>(uint64_t{f->DataSize()} * 100 / f->capacity());
  return f->WaterPercent(user);
}

}  // namespace

extern "C" {

// ---- recording ------------------------------------------------------------------------------

QVFS_API int QVFS_RecordStart(void) {
  if (RecordManager* m = St().mainManager()) m->StartThreads();
  if (RecordManager* m = St().subManager()) m->StartThreads();
  St().threadsStarted = St().mainManager() != nullptr;
  return 0;
}

QVFS_API int QVFS_RecordStop(void) {
  if (RecordManager* m = St().mainManager()) m->StopAll();
  if (RecordManager* m = St().subManager()) m->StopAll();
  return 0;
}

QVFS_API int QVFS_CycleRec(int on) {
  if (RecordManager* m = St().mainManager()) m->SetCycle(on != 0);
  return 0;
}

QVFS_API int QVFS_SetRecordCycle(int on) {
  Ctx().shared().config().cycleRecord = static_cast<uint8_t>(on);
  if (RecordManager* m = St().mainManager()) m->SetCycle((on & 0xFF) != 0);
  return 0;
}

QVFS_API int QVFS_SetPreareRec(int value, int preRecord) {
  Ctx().shared().config().prepareRecord = static_cast<uint8_t>(value);
  if (RecordManager* m = St().mainManager()) m->SetPrepare(value, preRecord);
  return 0;
}

QVFS_API int QVFS_START_RECORD(int channel, int recordType, int arg) {
  RecordManager* m = St().mainManager();
  if (!m) return 0;
  if (St().threadsStarted && !m->recordThreadRunning()) {
    DebugLog("Restart Record thread .\n");
    m->StartThreads();
  }
  const uint32_t type = static_cast<uint32_t>(recordType);
  ForChannels(*m, channel, [&](int ch) {
    if (type > 3) m->SetEventData(ch, type, arg);
    m->StartRecord(ch, type);
  });
  if (type == 2) {
    m->SetRecordMaskBit(channel, true);
    Ctx().shared().config().mainRecordMask = static_cast<int32_t>(m->recordMask());
  }
  return 0;
}

QVFS_API int QVFS_STOP_RECORD(int channel, int recordType) {
  RecordManager* m = St().mainManager();
  if (!m) return 0;
  ForChannels(*m, channel, [&](int ch) {
    m->StopRecord(ch, static_cast<uint32_t>(recordType), false, false);
  });
  return 0;
}

QVFS_API int QVFS_ManualRecStop(int channel) {
  RecordManager* m = St().mainManager();
  if (!m) return 0;
  m->ManualStop(channel);
  Ctx().shared().config().mainRecordMask = static_cast<int32_t>(m->recordMask());
  return 0;
}

QVFS_API int QVFS_SET_RECORD_SWITCH(int mask) {
  St().recordSwitchMask = static_cast<uint32_t>(mask);
  if (RecordManager* m = St().mainManager()) m->SetRecordSwitch(static_cast<uint32_t>(mask));
  return 0;
}

QVFS_API void* QVFS_GetRecordChInfo(void* out) {
  if (!out) return out;
  uint8_t* b = static_cast<uint8_t*>(out);
  std::memset(b, 0, 40);
  RecordManager* m = St().mainManager();
  const uint32_t mask = m ? m->recordMask()
                          : static_cast<uint32_t>(Ctx().shared().config().mainRecordMask);
  const int32_t count = St().initialised() ? St().builtChannels()
                                           : Ctx().shared().config().channelCount;
  std::memcpy(b, &mask, 4);
  std::memcpy(b + 4, &count, 4);
  for (int ch = 0; m && ch < m->channelCount() && ch < 32; ++ch) {
    // The type while the channel's task is active (recording or asked to).
    if (!m->TaskActive(ch)) continue;
    b[8 + ch] = static_cast<uint8_t>(m->CurrentType(ch));
  }
  return out;
}

// ---- frame FIFOs ----------------------------------------------------------------------------

QVFS_API int QVFS_FifoWriteFrame(uint8_t* data, int length, int frameType, int channel) {
  return WriteFifo(data, length, frameType, channel, false);
}

QVFS_API int QVFS_FifoWriteFrame_sub(uint8_t* data, int length, int frameType, int channel) {
  return WriteFifo(data, length, frameType, channel, true);
}

QVFS_API int QVFS_FifoReadFrame(uint8_t* buffer, int bufferSize, int channel, int user) {
  CFrameFIFO* f = nullptr;
  if (int r = FindFifo(channel, false, &f)) return r;
  SharedRecords& shared = Ctx().shared();
  if (shared.config().getFrameCallbackSet && shared.GetFrameCallback())
    return shared.GetFrameCallback()(buffer, bufferSize, channel);
  if (!buffer || bufferSize <= 0) return -2002;
  return f->ReadFrame(buffer, static_cast<uint32_t>(bufferSize), user);
}

QVFS_API int QVFS_FifoReadFrame_sub(uint8_t* buffer, int bufferSize, int channel, int user) {
  CFrameFIFO* f = nullptr;
  if (int r = FindFifo(channel, true, &f)) return r;
  if (!buffer || bufferSize <= 0) return -2002;
  return f->ReadFrame(buffer, static_cast<uint32_t>(bufferSize), user);
}

QVFS_API int QVFS_FIFO_ConsumeFrame(int bytes, int channel, int user) {
  CFrameFIFO* f = nullptr;
  if (FindFifo(channel, false, &f) != 0) return kErrBadUser;
  return f->Consume(static_cast<uint32_t>(bytes), user);
}

QVFS_API int QVFS_FifoClearData(int channel) {
  CFrameFIFO* f = nullptr;
  if (int r = FindFifo(channel, false, &f)) return r;
  f->Clear();
  return 0;
}

QVFS_API int QVFS_FifoClearData_sub(int channel) {
  CFrameFIFO* f = nullptr;
  if (int r = FindFifo(channel, true, &f)) return r;
  f->Clear();
  return 0;
}

QVFS_API int QVFS_FifoGetFrameWater(int channel, int user) { return Water(channel, user, false); }
QVFS_API int QVFS_FifoGetFrameWater_sub(int channel, int user) {
  return Water(channel, user, true);
}

QVFS_API int QVFS_FifoGetDataSize(int channel, int sub) {
  CFrameFIFO* f = nullptr;
  if (int r = FindFifo(channel, sub != 0, &f)) return r == kErrNoFifo ? kErrNoCapacity : r;
  if (f->capacity() == 0) return kErrNoCapacity;
  return static_cast<int>(f->DataSize());
}

QVFS_API int QVFS_FIFO_GetWarter(int channel, int sub) {
  CFrameFIFO* f = nullptr;
  if (int r = FindFifo(channel, sub != 0, &f)) return r == kErrNoFifo ? 0 : r;
  return f->capacity() ? static_cast<int>(uint64_t{f->DataSize()} * 100 / f->capacity()) : 0;
}

QVFS_API int64_t QVFS_FifoGetLostFrames(int channel, int sub) {
  CFrameFIFO* f = nullptr;
  if (int r = FindFifo(channel, sub != 0, &f)) return r;
  return static_cast<int64_t>(f->LostFrames());
}

QVFS_API int QVFS_FifoRegisterUser(const char* name) {
  FifoUsers* u = St().users();
  return u ? u->RegisterUser(name ? name : "") : kErrNoFifo;
}

QVFS_API int QVFS_FifoUnRegisterUser(const char* name) {
  FifoUsers* u = St().users();
  return u ? u->UnRegisterUser(name ? name : "") : 0;
}

}  // extern "C"
