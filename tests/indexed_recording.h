// A recording made the way the recorder makes one, for tests that need recordings a search
// finds: frames written to a free record file of a disk's index set and entered in the record
// index with a segment record every 35 video frames, then closed.
#pragma once

#include <cstdint>
#include <vector>

namespace qvfs {
class Context;
}
namespace platform {
class FaultPlan;
}

namespace testsupport {

// Writes the tagged frames (their own times) as one recording of a channel. The record file
// index, or -1 (the failure is reported to the test).
int RecordIndexed(qvfs::Context& ctx, int channel, const std::vector<std::vector<uint8_t>>& frames);

// The same recording left open by a power loss: every frame and index entry reaches the disk,
// then the power goes before the close (the head still says "being written", the index entry
// stays open). The record file index, or -1.
int RecordIndexedCut(qvfs::Context& ctx, int channel,
                     const std::vector<std::vector<uint8_t>>& frames, platform::FaultPlan& power);

}  // namespace testsupport
