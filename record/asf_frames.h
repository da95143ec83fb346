// The reader's side of the ASF packaging: media objects put back together from packets and
// handed out as tagged frames ("PTMF" header of 224 bytes, then the payload), so that the
// record reader plays an ASF-packaged record file like a native one. Video key objects become
// 'I' frames, other video 'P', audio 'A'; the time is the head's start time plus the
// presentation time less the preroll.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "record/asf_format.h"

class AsfFrameAssembler {
 public:
  // Forgets any object half put together; times count from startMs.
  void Reset(int64_t startMs);
  // Takes one packet; finished frames go to the back of `frames`. False when the packet does
  // not parse (nothing is taken from it). Objects whose start was not seen are dropped, and so
  // is an object over 1 MiB.
  bool Feed(const uint8_t* packet, std::deque<std::vector<uint8_t>>* frames);

 private:
  int64_t startMs_ = 0;
  bool inObject_ = false;
  asf::Payload cur_;
  std::vector<uint8_t> data_;  // the object so far, after room for the header
  uint32_t frameNo_ = 0;
  std::vector<asf::Payload> payloads_;
};
