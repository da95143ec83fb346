// CAsfFile: the ASF-packaged record writer. It writes a real ASF file (asf_format.h) that the
// storage layer still finds as a record file: the record head at 1024, the segment table at
// 1536 and, on a record disk, the I-frame index at 8192, all inside the ASF header's padding.
//
// Two destinations:
//   - record file N of a drive or a folder disk (a region of fixed size): each video key frame
//     adds an index entry pointing at the packet in which the frame begins;
//   - any other path: an ordinary output file (a backup), created afresh and grown packet by
//     packet, with no index entries.
// Packets are written straight to the file (no write cache, no device service thread); the
// index reaches the disk only for packets already written. Frames go in on one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "record/asf_format.h"
#include "record/frame_strategy.h"
#include "record/record_format.h"
#include "record/record_writer.h"

class CSerialFileBase;

class CAsfFile : public CRecWriteBase {
 public:
  explicit CAsfFile(int channel);
  ~CAsfFile() override;

  // desc: record SN, first and second texts, picture width and height (may be null).
  int OpenNew(const std::string& path, uint32_t fileIndex, uint32_t fileSize, int64_t startMs,
              const RecordDescriptor* desc) override;
  // Reopens an ASF-packaged record file to append a segment after its last packet.
  int OpenAppend(const std::string& path, const _rec_file_info_& desc, uint32_t fileSize,
                 int64_t lastMs) override;
  int WriteFrame(const void* frame, uint32_t size) override;
  // The SPS and PPS with their start codes (at most 100 bytes) for the video stream's codec
  // data. Without them, the first key frame's own are taken.
  int SetParamSets(const void* data, uint32_t length) override;
  int RepairFile(const std::string& path, uint32_t fileIndex, uint32_t regionSize,
                 int64_t startMs, int64_t endMs, uint32_t* dataEnd, int64_t* endTimeMs) override;
  int Close() override;

  bool IsOpen() const { return file_ != nullptr; }
  const recfile::RecordHead& head() const { return head_; }
  uint32_t packets() const { return packetizer_.packetsDone(); }

 private:
  // A drive or folder disk gives record file fileIndex (fileSize bytes); any other path is an
  // output file, emptied first when fresh.
  int OpenDestination(const std::string& path, uint32_t fileIndex, uint32_t fileSize, bool fresh);
  void Release();
  void ResetState();
  bool WritePacket(const uint8_t* packet);
  int AddIndexEntry(int64_t ptsMs, uint32_t packet, uint32_t frameBytes);
  int FlushIndex();
  // Puts the header objects, the head, the segment table and the Data Object header into the
  // image and writes the image's first `bytes` (the head block, or all of it).
  int CommitImage(uint32_t bytes);
  int WriteSimpleIndex(uint32_t dataEnd);
  void TakeParamSets(const uint8_t* payload, uint32_t length);
  uint32_t DataEnd() const;
  // Walks packets [from, to) and rebuilds what the writer keeps about them; stops at the first
  // packet that does not parse or breaks the media object sequence. Returns the packets that
  // end with complete media objects, counted from 0.
  uint32_t ScanPackets(uint32_t from, uint32_t to, int64_t startMs, int64_t endMs,
                       bool addIndex);

  int channel_;
  std::unique_ptr<CSerialFileBase> file_;
  std::string name_;
  bool region_ = false;  // a record file of a disk (fixed size, indexed), else an output file
  uint32_t regionSize_ = 0;     // the most the file may hold
  uint32_t existingBytes_ = 0;  // bytes there were when it was opened
  std::vector<uint8_t> image_;  // file bytes 0 .. 0x2F000
  std::vector<uint8_t> scanChunk_;  // the packets a repair or append scan reads
  recfile::RecordHead head_{};
  std::vector<recfile::SegmentRecord> segments_;
  asf::HeaderSettings settings_;
  asf::Packetizer packetizer_;
  std::vector<asf::KeyFrameMark> keys_;
  bool started_ = false;  // the first key frame is in
  bool paramSetsGiven_ = false;
  int64_t firstPts_ = 0;
  int64_t lastPts_ = 0;
  uint32_t lastPres_ = 0;
  uint8_t objectNo_ = 0;
  recfile::IndexEntry lastIndex_{};
  uint32_t indexAppend_ = 0;   // bytes of the index area in use
  uint32_t indexFlushed_ = 0;
  uint32_t minIndexDistance_ = recfile::kDefaultIndexDistance;
  int writeError_ = 0;
  CFrmStategy selector_;
};
