/*
 * The records that cross the storage interface: the configuration given to QVFS_Init, the
 * per-channel record schedule, the exported 32-byte record description and the 40-byte record
 * description the searches and replays work with, and the callback types.
 *
 * Every record here is packed and little-endian; its size and field offsets are fixed and
 * checked at compile time, since applications and recorder firmware exchange them as bytes.
 */
#ifndef QVFS_RECORDS_H
#define QVFS_RECORDS_H

#include <stddef.h>
#include <stdint.h>

#pragma pack(push, 1)

/* The configuration record (64 bytes, passed by value). */
typedef struct StorageConfig {
  int32_t channelCount;        /* sizes every per-channel array */
  int32_t diskCount;           /* output only: ready disks, filled by QVFS_GetStorageCfg */
  int32_t mainRecordMask;      /* bit n: channel n records its main stream from start */
  int32_t subRecordMask;       /* bit n: channel n records its sub stream from start */
  uint8_t cycleRecord;         /* non-zero: recycle the oldest recording when no file is free */
  uint8_t prepareRecord;
  uint8_t subStreamEnabled;    /* non-zero: a second record manager for the sub streams */
  uint8_t getFrameCallbackSet; /* set by QVFS_SET_GetFrame_CBK */
  uint8_t reserved20;
  uint8_t multiUserPlayBuffer; /* non-zero: readers use the shared-memory play buffer */
  uint8_t reserved22[6];
  int32_t fifoUsers;       /* entries of the FIFO user table */
  int32_t mainFifoSize;    /* bytes of each main-stream FIFO (plus 448 bytes of slack) */
  int32_t subFifoSize;     /* bytes of each sub-stream FIFO; 0: none */
  int32_t writeCacheSize;  /* the record writer's cache */
  int32_t playBufferSize;  /* each play buffer; 0 keeps the previous value */
  int32_t frameBufferSize; /* the one-frame buffers of the record thread and readers */
  int32_t extParam1;
  int32_t extParam2;
  int32_t noMixAudio;      /* non-zero: readers do not mix audio */
} StorageConfig;

/* The record schedule of one channel (64 bytes): pair 0 word 0 is 1 when the schedule is in
 * use; pairs 1..7 are Monday..Sunday, bit s of the 64-bit pair (word 0 = bits 0..31) set means
 * recording in half-hour slot s (s = 2 x hour + minute / 30). */
typedef struct RecordSchedule {
  uint32_t words[8][2];
} RecordSchedule;

/* The exported record description (32 bytes). Bytes 0, 2 and 4..7 are neither written by the
 * searches nor read. */
typedef struct RecordItem {
  uint8_t unused0;
  uint8_t channel;
  uint8_t unused2;
  uint8_t tzHours;      /* hours local time was ahead of UTC when the recording started */
  uint8_t unused4[4];
  int32_t size;         /* bytes recorded */
  uint32_t zero12;      /* zero in search results; not read */
  uint32_t startSec;
  uint32_t endSec;
  int32_t fileIndex;    /* record file index on its disk */
  uint8_t state;        /* state flags: bit 7 while being recorded */
  uint8_t typeBits;     /* 1 scheduled, 2 manual, 4..32 event recordings */
  uint8_t diskNo;
  uint8_t segmentNo;
} RecordItem;

/* The record description of the index, the searches, the recording engine, replay and backup
 * (40 bytes, packed byte by byte: the times are not 8-byte aligned). */
typedef struct _rec_file_info_ {
  uint8_t channel;
  uint8_t state;       /* bit 7 set while the file is being recorded */
  uint8_t diskNo;
  uint8_t kind;        /* record kind, index entry byte 0 */
  uint8_t operation;   /* 0 in search results */
  uint8_t segmentNo;   /* 0 for a record made from a whole entry */
  uint8_t typeBits;
  uint8_t tzByte;      /* bits 1..7 time-zone hours, bit 0 a flag */
  int32_t fileIndex;
  int32_t size;        /* bytes recorded */
  uint32_t endOffset;  /* data offset in the record file after the last byte recorded */
  int64_t startMs;
  int64_t endMs;
  uint32_t sn;         /* record SN */
} _rec_file_info_;

#pragma pack(pop)

/* One listed disk, as QVFS_GetDiskInfo writes it (100 bytes). */
typedef struct DiskInfo {
  int32_t state;        /* 0 ready record disk, 2 ready but no record area */
  int32_t word1;        /* the disk record's word 1 (0 as the scan fills it) */
  int32_t unused8;
  int32_t isRecordDisk; /* 1 when the state is 0 */
  int32_t position;     /* the disk's position in the disk list */
  int32_t unused20;
  int32_t word7;        /* the disk record's word 7 (0 as the scan fills it) */
  int32_t totalMB;      /* record space */
  int32_t freeMB;       /* free record files x file size */
  uint8_t unused36[8];
  int32_t capacityMB;
  char devicePath[20];
  char deviceText[32];
} DiskInfo;

/* A stretch of recording that the index no longer shows, as the recovery scan finds it: one
 * channel's frames in ascending time from a key frame on, in one record file (48 bytes). */
typedef struct RecoveredPiece {
  int32_t fileIndex;
  uint8_t channel;
  uint8_t reason;       /* 1 deleted, 2 recycled tail, 3 free file, 4 unindexed */
  uint8_t diskNo;
  uint8_t reserved;
  uint32_t frames;      /* video and audio, from the first key frame on */
  uint32_t keyFrames;
  uint32_t startOffset; /* the first key frame's offset in the record file */
  uint32_t endOffset;   /* the offset after the last frame */
  int64_t startMs;      /* the first key frame's time stamp */
  int64_t endMs;        /* the last frame's time stamp */
  uint64_t bytes;       /* of the frames counted */
} RecoveredPiece;

/* The operation byte of a _rec_file_info_ that describes a recovered piece: its frames lie at
 * endOffset - size .. endOffset of its record file (QVFS_RecoveredRecord makes one). Readers,
 * the player and the backups take it like any record. */
#define QVFS_OPERATION_RECOVERED 0x52

/* Space over the listed disks (16 bytes). */
typedef struct DiskSpaceInfo {
  int32_t diskCount;
  int32_t freeSpaceMB;
  int32_t reserved;
  int32_t usedPercent;
} DiskSpaceInfo;

/* The status callback: code 0x8001..0x8006, a payload and its length. */
typedef void (*QVFS_StatusCallback)(int code, const void* data, int length);
/* The get-frame callback: given QVFS_FifoReadFrame's buffer, its size and the channel, it
 * returns a frame length or an error. (A 32-bit argument could not carry the buffer's address
 * on a 64-bit machine: the buffer is passed as a pointer.) */
typedef int (*QVFS_GetFrameCallback)(uint8_t* buffer, int32_t size, int32_t channel);

#ifdef __cplusplus
#define QVFS_RECORD_CHECK(type, size) static_assert(sizeof(type) == (size), #type " size");
#define QVFS_FIELD_CHECK(type, field, off) \
  static_assert(offsetof(type, field) == (off), #type "." #field " offset");
#else
#define QVFS_RECORD_CHECK(type, size) _Static_assert(sizeof(type) == (size), #type " size");
#define QVFS_FIELD_CHECK(type, field, off) \
  _Static_assert(offsetof(type, field) == (off), #type "." #field " offset");
#endif

QVFS_RECORD_CHECK(StorageConfig, 64)
QVFS_FIELD_CHECK(StorageConfig, cycleRecord, 16)
QVFS_FIELD_CHECK(StorageConfig, multiUserPlayBuffer, 21)
QVFS_FIELD_CHECK(StorageConfig, fifoUsers, 28)
QVFS_FIELD_CHECK(StorageConfig, frameBufferSize, 48)
QVFS_FIELD_CHECK(StorageConfig, noMixAudio, 60)
QVFS_RECORD_CHECK(RecordSchedule, 64)
QVFS_RECORD_CHECK(RecordItem, 32)
QVFS_FIELD_CHECK(RecordItem, tzHours, 3)
QVFS_FIELD_CHECK(RecordItem, size, 8)
QVFS_FIELD_CHECK(RecordItem, startSec, 16)
QVFS_FIELD_CHECK(RecordItem, fileIndex, 24)
QVFS_FIELD_CHECK(RecordItem, state, 28)
QVFS_FIELD_CHECK(RecordItem, segmentNo, 31)
QVFS_RECORD_CHECK(_rec_file_info_, 40)
QVFS_RECORD_CHECK(DiskInfo, 100)
QVFS_FIELD_CHECK(DiskInfo, totalMB, 28)
QVFS_FIELD_CHECK(DiskInfo, capacityMB, 44)
QVFS_FIELD_CHECK(DiskInfo, devicePath, 48)
QVFS_FIELD_CHECK(DiskInfo, deviceText, 68)
QVFS_RECORD_CHECK(DiskSpaceInfo, 16)
QVFS_RECORD_CHECK(RecoveredPiece, 48)
QVFS_FIELD_CHECK(RecoveredPiece, frames, 8)
QVFS_FIELD_CHECK(RecoveredPiece, startMs, 24)
QVFS_FIELD_CHECK(RecoveredPiece, bytes, 40)
QVFS_FIELD_CHECK(_rec_file_info_, tzByte, 7)
QVFS_FIELD_CHECK(_rec_file_info_, fileIndex, 8)
QVFS_FIELD_CHECK(_rec_file_info_, endOffset, 16)
QVFS_FIELD_CHECK(_rec_file_info_, startMs, 20)
QVFS_FIELD_CHECK(_rec_file_info_, endMs, 28)
QVFS_FIELD_CHECK(_rec_file_info_, sn, 36)

#undef QVFS_RECORD_CHECK
#undef QVFS_FIELD_CHECK

#endif /* QVFS_RECORDS_H */
