// CMultiCHData: a plain settings holder an application may keep for multi-channel playback (which
// channels were recorded, FIFO mode, jump time, picture size, the main window, a frame list).
// The library itself neither creates nor reads one. Copies copy every field, the vectors element
// by element.
#pragma once

#include <cstdint>
#include <vector>

class CMultiCHData {
 public:
  // One entry of the frame list (24 bytes).
  struct FrameEntry {
    int64_t timeMs = 0;
    uint32_t offset = 0;
    uint32_t size = 0;
    int32_t type = 0;
    int32_t channel = 0;
  };

  bool IsOpened() const { return openHandle_ != 0; }
  void SetUseFIFOMode(bool on) { fifoMode_ = on; }
  bool GetUseFIFOMode() const { return fifoMode_; }
  void SetJumpTime(int ms) { jumpTime_ = ms; }
  int GetJumpTimeMs() const { return jumpTime_; }
  void SetFrameSwitch(bool on) { frameSwitch_ = on; }
  bool IsFrameLost() const { return frameSwitch_; }
  void SetRecCHBit(int mask) { words_[0] = mask; }
  int GetFrameRate() const { return words_[2]; }
  uint16_t GetVedioWidth() const { return videoWidth_; }
  uint16_t GetVedioHeight() const { return videoHeight_; }
  void SetRecordSpace(int space) { recordSpace_ = static_cast<uint32_t>(space); }
  uint32_t GetRecordSpace() const { return recordSpace_; }
  void SetRecAudio(bool on) { recordAudio_ = on; }
  void SetMainWnd(void* wnd) { mainWnd_ = wnd; }
  void* GetMainWnd() const { return mainWnd_; }
  int GetTatolFrameCnt() const { return static_cast<int>(frames_.size()); }
  std::vector<FrameEntry>& frames() { return frames_; }

 private:
  char name_[64] = {};
  int32_t head_[3] = {};
  int32_t openHandle_ = 0;
  uint8_t reserved_ = 0;
  bool fifoMode_ = false;
  int32_t jumpTime_ = 0;
  bool frameSwitch_ = false;
  int32_t words_[7] = {};  // [0] recorded-channel mask, [2] frame rate
  int32_t tail_[2] = {};
  uint16_t videoWidth_ = 0, videoHeight_ = 0;
  uint32_t recordSpace_ = 0;
  bool recordAudio_ = false;
  void* mainWnd_ = nullptr;
  std::vector<FrameEntry> frames_;
  std::vector<FrameEntry> more_[2];
};
static_assert(sizeof(CMultiCHData::FrameEntry) == 24, "a frame-list entry is 24 bytes");
