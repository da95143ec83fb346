#include "player/decode_threads.h"

#include "player/decoder_set.h"
#include "player/play_source.h"
#include "qvfs/qvfs.h"
#include "record/frame_strategy.h"

namespace player {

namespace {
constexpr int kPauseStepMs = 500;
constexpr int kIdleMs = 100;
constexpr int kWindows = 16;
}  // namespace

DecodeThreads::DecodeThreads(PlaySource* source) : source_(source) {}

DecodeThreads::~DecodeThreads() { StopAll(); }

int DecodeThreads::Start(uint32_t windowMask) {
  if (!threads_.empty()) return static_cast<int>(threads_.size());
  QVFS_FifoRegisterUser(kFifoUser);
  stop_ = false;
  for (int w = 0; w < kWindows; ++w)
    if (windowMask & (1u << w)) threads_.emplace_back([this, w] { Run(w); });
  return static_cast<int>(threads_.size());
}

void DecodeThreads::Hold() {
  std::lock_guard<std::mutex> g(lock_);
  pauseRequest_ = true;
}

void DecodeThreads::Release() {
  std::lock_guard<std::mutex> g(lock_);
  pauseRequest_ = false;
  wake_.notify_all();
}

bool DecodeThreads::held() const {
  std::lock_guard<std::mutex> g(lock_);
  return pauseRequest_;
}

void DecodeThreads::StopAll() {
  {
    std::lock_guard<std::mutex> g(lock_);
    stop_ = true;
    wake_.notify_all();
  }
  source_->CancelWaits();
  for (std::thread& t : threads_) t.join();
  if (!threads_.empty()) QVFS_FifoUnRegisterUser(kFifoUser);
  threads_.clear();
}

uint64_t DecodeThreads::videoFrames(int n) const {
  return n >= 0 && n < kWindows ? counters_[n].video.load() : 0;
}

uint64_t DecodeThreads::audioFrames(int n) const {
  return n >= 0 && n < kWindows ? counters_[n].audio.load() : 0;
}

bool DecodeThreads::Nap(int ms) {
  std::unique_lock<std::mutex> g(lock_);
  wake_.wait_for(g, std::chrono::milliseconds(ms), [&] { return stop_.load(); });
  return !stop_;
}

void DecodeThreads::Run(int window) {
  std::vector<uint8_t> buffer(kFrameBufferBytes);
  CFrmStategy selector;
  while (!stop_) {
    if (held() || source_->Paused()) {
      Nap(kPauseStepMs);
      continue;
    }
    if (!source_->Enabled()) {
      Nap(kIdleMs);
      continue;
    }
    if (!OneFrame(window, buffer, selector)) Nap(source_->IdleMs());
  }
}

bool DecodeThreads::OneFrame(int window, std::vector<uint8_t>& buffer, CFrmStategy& selector) {
  const int length = source_->TakeFrame(window, buffer.data(), kFrameBufferBytes);
  if (length <= 0) return false;
  if (!selector.SelectValidWithin(buffer.data(), static_cast<uint64_t>(length)))
    return true;  // not a frame: the next one
  CFrmStrategy* header = selector.Current();
  const int64_t pts = header->GetPts();
  source_->NoteFrameTime(window, pts);
  if (header->GetFrameType() == frame::kTypeAudio) {
    ++counters_[window].audio;
    return true;
  }
  // The payload follows the frame's own header, whose length depends on its format.
  const uint64_t headerBytes = header->GetHeaderLength();
  const uint64_t payloadBytes = header->GetFrameLength(0);
  if (headerBytes + payloadBytes > static_cast<uint64_t>(length)) return true;  // cut short
  ++counters_[window].video;
  const int pictures =
      source_->decoders().DecodeOnly(window, buffer.data() + headerBytes, payloadBytes);
  source_->Show(window, pts, pictures > 0 ? pictures : 0);
  return true;
}

}  // namespace player
