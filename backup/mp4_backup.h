// MP4 output of recordings: the backup of one record (backup type 1) and the conversion of a
// record file held as an ordinary file. H.264 records become an H.264 track; JPEG records
// (frames with a 52-byte header) a JPEG track; a backup's audio frames become an AAC track
// (the conversion of the record file leaves audio out).
#pragma once

#include <cstddef>
#include <string>

#include "qvfs/records.h"

class AacConversion;
class BackupEngine;
class CRecordReader;

// One record as MP4 at path: 0, -99 (no key frame, no file, or no SPS and PPS while the MP4
// writer held the most it holds; no file is then left), -1003, -2010 (stopped), or the reader's
// error.
int BackupRecordToMp4(size_t i, const _rec_file_info_& r, CRecordReader& reader,
                      const std::string& path, BackupEngine& engine);
// A record file (ordinary file) converted into MP4: 0, -116 (no source), -99 (as above), -1003
// or the reader's error.
int ConvertRecordFileToMp4(const char* source, const char* dest, AacConversion* audio = nullptr);
