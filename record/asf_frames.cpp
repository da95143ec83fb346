#include "record/asf_frames.h"

#include "record/frame_strategy.h"

void AsfFrameAssembler::Reset(int64_t startMs) {
  startMs_ = startMs;
  inObject_ = false;
  data_.clear();
}

bool AsfFrameAssembler::Feed(const uint8_t* packet, std::deque<std::vector<uint8_t>>* frames) {
  if (!asf::ParsePacket(packet, asf::kPacketBytes, &payloads_)) return false;
  for (const asf::Payload& p : payloads_) {
    if (p.objectOffset == 0) {
      inObject_ = p.objectSize <= asf::kMaxMediaObject;
      cur_ = p;
      data_.assign(frame::kPtmfHeaderBytes, 0);
      if (inObject_) data_.reserve(frame::kPtmfHeaderBytes + p.objectSize);
    } else if (!inObject_ || p.objectNo != cur_.objectNo || p.objectSize != cur_.objectSize ||
               p.objectOffset != data_.size() - frame::kPtmfHeaderBytes) {
      inObject_ = false;  // the rest of an object whose start is not here
      continue;
    }
    if (!inObject_) continue;
    data_.insert(data_.end(), p.data, p.data + p.length);
    if (data_.size() - frame::kPtmfHeaderBytes < cur_.objectSize) continue;
    inObject_ = false;
    const uint8_t type = cur_.stream == asf::kAudioStream ? frame::kTypeAudio
                         : cur_.key                     ? frame::kTypeKey
                                                        : 'P';
    const int64_t pts = startMs_ + static_cast<int64_t>(cur_.presMs) - asf::kPrerollMs;
    WritePtmfHeader(data_.data(), type, pts, frameNo_++, cur_.objectSize);
    frames->push_back(std::move(data_));
    data_.clear();
  }
  return true;
}
