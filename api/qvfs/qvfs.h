/*
 * The storage library's C interface: the QVFS_* functions.
 *
 * Results are integers: 0 or a positive count for success, a negative code for failure.
 * Records that cross the interface are packed and little-endian.
 */
#ifndef QVFS_QVFS_H
#define QVFS_QVFS_H

#include <stdint.h>

#include "qvfs/records.h"

#if defined(__GNUC__)
#define QVFS_API __attribute__((visibility("default")))
#else
#define QVFS_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Drives -------------------------------------------------------------------------------
 * Device names are "\\.\PhysicalDriveN" (N = 0..15). Drive numbers go first to the images the
 * application attached, in the order attached, then to the machine's own disks (unless turned
 * off before the first use of the table). */

typedef struct QVFS_DriveInfo {
  int number;              /* drive number N */
  char name[32];           /* "\\.\PhysicalDriveN" */
  char path[256];          /* image file or /dev node (cut to fit, NUL-terminated) */
  char text[64];           /* vendor and product */
  uint64_t capacity;       /* last LBA (not the sector count); 0 when unknown */
  uint32_t sectorSize;     /* bytes per sector; 0 when unknown */
  int readOnly;            /* opened read-only: every write is refused */
  int systemDrive;         /* holds the root file system; the disk scan skips it */
  int openError;           /* errno of a failed open (EACCES, ...), 0 when it opens */
} QVFS_DriveInfo;

/* Attaches a disk image (or a block device) as the next drive. sectorSize 0 means 512.
 * Returns the drive number, or -1 (bad argument), -2 (cannot be opened), -3 (table full). */
QVFS_API int QVFS_AttachImage(const char* path, int readOnly, int sectorSize);
/* Forgets every attached image and closes the devices opened on them. */
QVFS_API void QVFS_DetachAll(void);
/* Detaches one attached image by its drive number and closes the device opened on it: what
 * used it fails from then on as with a disk pulled out, and the next disk scan drops the disk.
 * The number goes to the next attach. 0, or -1 when no attached image has the number. */
QVFS_API int QVFS_DetachImage(int drive);
/* Every drive read-only from now on (on != 0): the machine's disks, images and volumes, those
 * already known included. Nothing the library does then writes to them; recordings a power
 * loss left open are repaired in memory only. The player, which records nothing, turns it on. */
QVFS_API void QVFS_SetAllReadOnly(int on);
/* Whether the machine's own disks join the drive table (on by default). */
QVFS_API void QVFS_UseSystemDisks(int on);
/* Drive n of the table: 0, or -1 past the table or without out. */
QVFS_API int QVFS_GetDriveInfo(int n, QVFS_DriveInfo* out);
/* Adds a folder to the volumes the disk scan looks at. 0, or -1 when it is not a folder. */
QVFS_API int QVFS_AddVolume(const char* folder, int readOnly);

/* ---- Clock and messages ---------------------------------------------------------------- */

/* Manual clock for tests and simulation: while on, the library's time is nowMs (ms since 1970
 * UTC) and moves only by QVFS_AdvanceClock. Sleeps stay real. */
QVFS_API void QVFS_SetManualClock(int on, int64_t nowMs);
QVFS_API void QVFS_AdvanceClock(int64_t ms);
/* Receives every diagnostic message (and the console lines while console output is off). */
QVFS_API void QVFS_SetLogSink(void (*sink)(const char* text));
/* Console output of the device, region-file and table layers: on by default. */
QVFS_API void QVFS_SetConsoleOutput(int on);
/* Receives the progress of long work (formatting): what, done and total in any one unit. */
QVFS_API void QVFS_SetProgressSink(void (*sink)(const char* what, uint64_t done, uint64_t total));

/* ---- Record disks ---------------------------------------------------------------------- */

/* Formats a device ("\\.\PhysicalDriveN") or a folder as a record disk with record files of
 * fileSizeMB MiB (below 64 taken as 128) and, on a device, a "commonData" FAT32 partition of
 * commonMB MiB in front (0: none; at most 10240). A folder gets as many record files as its file
 * system holds, keeping 1 GiB or 5 % free. Returns the record file count, or a negative code:
 * -2010 no such device, -2006 the drive is read-only, holds the system or a mounted file
 * system, -1 no capacity, -101 no FAT32 geometry fits or too small for one record file (or a
 * file size of 4096 MiB or more), -4011 more record files than the root directory holds, or a
 * device write's code. */
QVFS_API int QVFS_FormatToRecdisk(const char* name, int fileSizeMB, int commonMB);
/* A folder formatted with at most maxFiles record files (0: as many as fit, as above). Returns
 * the same as QVFS_FormatToRecdisk; -2010 when name is a device. */
QVFS_API int QVFS_FormatFolder(const char* folder, int fileSizeMB, int maxFiles);
/* How many record files of fileSizeMB MiB a format of the folder would allocate; 0 when none
 * fits. */
QVFS_API int QVFS_FolderFormatPlan(const char* folder, int fileSizeMB);

/* Sets the channel count (1..32) the searches consider and runs one disk scan on the calling
 * thread: what the searches need when the library is used without recording. Returns the
 * number of disks listed, or -101 for a bad channel count. */
QVFS_API int QVFS_ScanDisksForSearch(int channelCount);

/* ---- Searches (times in seconds since 1970; results newest first within a channel) --------
 * Times are 0..2^32-1 s (-101 otherwise), and an output too small for one record is refused
 * with -101 and left untouched. */

/* Recordings of the channels in channelMask between start and end, of the types in typeMask (0:
 * all), from the record disks (source 0) or the second disk set (source 1), as RecordItems.
 * Returns the number written, 0 for none, or -2005 (no output), -101 (bad range or mask). */
QVFS_API int QVFS_SearchRec(RecordItem* out, int outBytes, int64_t start, int64_t end,
                            int32_t channelMask, int32_t typeMask, int32_t source,
                            int32_t reserved, int32_t clientId);
/* The same as _rec_file_info_ records (the play list). */
QVFS_API int QVFS_SearchPlayList(_rec_file_info_* out, int outBytes, int64_t start, int64_t end,
                                 int32_t channelMask, int32_t typeMask, int32_t source,
                                 int32_t reserved, int32_t clientId);
/* Merged spans (pairs of uint32 seconds: start, end) of one channel's recordings. */
QVFS_API int QVFS_SearchHistoryRec(uint32_t* out, int outBytes, int64_t start, int64_t end,
                                   int32_t channel, int32_t reserved, int32_t clientId);
/* Spans of days holding recordings, as pairs of int64 local-midnight seconds. The buffer must
 * hold every span: prefer QVFS_SearchRecordAllDayEx, which is told its size. */
QVFS_API int QVFS_SearchRecordAllDay(int64_t* out);
QVFS_API int QVFS_SearchRecordAllDayEx(int64_t* out, int outBytes);
/* Bit d-1 set when day d of the month holds a recording of the types in typeMask (0: all); 0 for
 * a year outside 1970..2106. */
QVFS_API int QVFS_SearchRecordDayOfMonth(int32_t year, int32_t month, int32_t typeMask);

/* ---- Set-up, disks and configuration ---------------------------------------------------- */

/* Keeps the configuration, builds the storage context (frame FIFOs, record managers, the
 * frame processor) and runs one disk scan on the calling thread; record files a power loss left
 * open on writable disks are repaired. A second call keeps the arrays of the first. 0. */
QVFS_API int QVFS_Init(StorageConfig config);
/* 1 when the device ("\\.\PhysicalDriveN") or folder holds a record disk, 0 when not, -2010
 * for a device the library has not opened. */
QVFS_API int QVFS_DISK_IS_INIT(const char* path);
/* The latest record end time over every record disk, in seconds (0 without one). */
QVFS_API int64_t QVFS_GetRecMaxTime(void);
QVFS_API void QVFS_SET_GetFrame_CBK(QVFS_GetFrameCallback cb);
QVFS_API void QVFS_SET_STATUS_CBAK(QVFS_StatusCallback cb);
/* 0 when a disk is ready, the record mask is set and no channel records yet; else 1. */
QVFS_API int QVFS_RecordIsOk(void);
/* Recordings in the time maps x 100 / record files, over every disk. */
QVFS_API int QVFS_GetDataPercent(void);
QVFS_API int QVFS_SetVideoResolution(int width, int height, int channel);
/* Starts a disk scan on a new thread: 0, or -1 while one runs. */
QVFS_API int QVFS_ScanDisk(void);
/* One DiskInfo (100 bytes) per listed disk, at most length / 100 of them; the number written. */
QVFS_API int QVFS_GetDiskInfo(void* buffer, int length);
QVFS_API int QVFS_SetStorageCfg(StorageConfig config);
QVFS_API StorageConfig* QVFS_GetStorageCfg(StorageConfig* out);
QVFS_API void* QVFS_GetDiskPerformance(void* out);
QVFS_API DiskSpaceInfo* QVFS_GetDiskSpaceInfo(DiskSpaceInfo* out);
/* The channel's current record file: fill in percent, its index, the record SN (-110 for a
 * channel above the count; -1 for the sub stream without a sub manager). */
QVFS_API int QVFS_GetRecordPercent(int channel, int sub);
QVFS_API int QVFS_GetRecordIndex(int channel, int sub);
QVFS_API int QVFS_GetRecordSn(int channel, int sub);
QVFS_API int QVFS_ScheduleTimeSet(int channel, RecordSchedule schedule);
QVFS_API RecordSchedule* QVFS_ScheduleTimeGet(RecordSchedule* out, int channel);
/* Lock, unlock, delete a searched record (segment): 0, -5002 (no record disk or no such file),
 * -111 (being recorded: not deleted), or an I/O code. */
QVFS_API int QVFS_LockRecord(RecordItem* item);
QVFS_API int QVFS_UnlockRecord(RecordItem* item);
QVFS_API int QVFS_DeleteRecord(RecordItem* item);
QVFS_API int QVFS_AllRecord(void);
QVFS_API int QVFS_DownloadStart(void);
QVFS_API int QVFS_FormatDiskRecord(void);
QVFS_API int QVFS_PlaybackByFile(void);
QVFS_API int QVFS_PlaybackStatus(void);
QVFS_API int QVFS_RecordIsRecording(void);

/* ---- Recording ---------------------------------------------------------------------------- */

QVFS_API int QVFS_RecordStart(void);
QVFS_API int QVFS_RecordStop(void);
QVFS_API int QVFS_CycleRec(int on);
QVFS_API int QVFS_SetRecordCycle(int on);
QVFS_API int QVFS_SetPreareRec(int value, int preRecord);
/* Starts recording of a type (1 schedule, 2 manual, 4/8/16/32 events with arg their duration in
 * seconds) on a channel, or every channel for -1. 0. */
QVFS_API int QVFS_START_RECORD(int channel, int recordType, int arg);
QVFS_API int QVFS_STOP_RECORD(int channel, int recordType);
QVFS_API int QVFS_ManualRecStop(int channel);
QVFS_API int QVFS_SET_RECORD_SWITCH(int mask);
/* u32 main record mask, i32 channel count, then one byte per channel: its record type. */
QVFS_API void* QVFS_GetRecordChInfo(void* out);

/* ---- Frame FIFOs -------------------------------------------------------------------------- */

/* Writes one frame payload (frameType 'I', 'P', 'A', ...) to a channel's main (or sub) FIFO:
 * 0, -2005 (no FIFOs: QVFS_Init not run), -110 (channel not below the count), -2002 (empty). */
QVFS_API int QVFS_FifoWriteFrame(uint8_t* data, int length, int frameType, int channel);
QVFS_API int QVFS_FifoWriteFrame_sub(uint8_t* data, int length, int frameType, int channel);
QVFS_API int QVFS_FifoReadFrame(uint8_t* buffer, int bufferSize, int channel, int user);
QVFS_API int QVFS_FifoReadFrame_sub(uint8_t* buffer, int bufferSize, int channel, int user);
QVFS_API int QVFS_FIFO_ConsumeFrame(int bytes, int channel, int user);
QVFS_API int QVFS_FifoClearData(int channel);
QVFS_API int QVFS_FifoClearData_sub(int channel);
QVFS_API int QVFS_FifoGetFrameWater(int channel, int user);
QVFS_API int QVFS_FifoGetFrameWater_sub(int channel, int user);
QVFS_API int QVFS_FifoGetDataSize(int channel, int sub);
QVFS_API int QVFS_FIFO_GetWarter(int channel, int sub);
QVFS_API int QVFS_FifoRegisterUser(const char* name);
QVFS_API int QVFS_FifoUnRegisterUser(const char* name);
/* Frames a channel's main (or sub) FIFO lost since QVFS_Init: those the recording engine never
 * took because room was made for newer ones, and writes refused for want of room. 0 or more,
 * or -2005 / -110 as QVFS_FifoWriteFrame. */
QVFS_API int64_t QVFS_FifoGetLostFrames(int channel, int sub);

/* ---- Playback (replay sessions) ------------------------------------------------------------
 * Up to five replay clients (0..4) each replay a set of channels over a time range (seconds);
 * a session thread steps them every 200 ms. Consumers take frames per channel and client and
 * pace themselves. Results: -2005 before QVFS_Init, -106 client outside 0..4, -101 channel
 * outside the channel count, -114 no replay for that client and channel. */

/* Replays a channel for a client over [start, end] from the client's last search result for
 * that channel, or a search of its own: 0, or -2007 when no recording meets the range. Times
 * (here and in the seek) are 0..2^32-1 s, -101 otherwise. */
QVFS_API int QVFS_PlaybackBytime(int64_t start, int64_t end, int channel, int client);
/* The same over one record: the first of the channel on disk 0 that meets the range. */
QVFS_API int QVFS_TelnetReplay(int64_t start, int64_t end, int channel, int client);
/* Stop requests, carried out by the session thread within 200 ms (client -1: every client;
 * channel -1: every channel; clients 1..3 only, or -1; client 0's are marked, not carried out). */
QVFS_API int QVFS_PlaybackStop(int channel, int client);
QVFS_API int QVFS_DownloadStop(int client, int channel);
/* Every channel of the client seeks to time (s): the seek's result, -2007 past every record. */
QVFS_API int QVFS_PlaybackSeekTime(int64_t time, int channel, int client);
/* Mode 1 pause, 2 stop, 16 normal, 32 single frame, 64 slow, 128 fast forward, 256 fast
 * backward; speed 0..32 (-101 otherwise). Every channel of the client changes. */
QVFS_API int QVFS_PlaybackSetMode(int mode, int speed, int channel, int client);
/* The next frame (tag header and payload): its length; -115 after the range end, -2007 when
 * the play list is done, -3003 or -100 while the next file is being opened (try again). */
QVFS_API int QVFS_ReplayFifoReadFrame(uint8_t* buffer, int bufferSize, int channel, int client);
/* Paces channel (0..15) of the client to a frame time (ms): the delay slept, or 0 with shared
 * set. The first frame of a channel is not delayed. */
QVFS_API int QVFS_ReplaySyncWait(int64_t timestampMs, int shared, int channel, int client);
QVFS_API int QVFS_ReplayFifoClear(int channel, int client);

/* ---- Backup and export ----------------------------------------------------------------------
 * One backup at a time runs on a thread of its own: one output file per record in destDir,
 * named "CH%02d_<start>__<end><ext>" (an existing file is never overwritten: " (1)" goes before
 * the extension). backupType 0 ".asf", 1 ".mp4", 2 ".bin". Progress also reaches the status
 * callback as 0x8006 {percent, error}. Results: -4000 the destination folder does not exist,
 * -4001 not enough free space, -4002 nothing to back up, -98 a backup runs. A record whose
 * MP4 cannot be made (no SPS and PPS within 8 MiB of its frames) fails with -99 and leaves no
 * file. */

/* Copies record file fileIndex (size bytes) of a drive or folder disk into destPath. The last
 * transfer's byte count, or the failure's code. */
QVFS_API int QVFS_ExportRecordFile(const char* devicePath, int fileIndex, int size,
                                   const char* destPath);
/* Backs up searched records: -2005 without items, -116 for none, -101 without destDir. */
QVFS_API int QVFS_BackupStart(RecordItem* items, int count, int backupType, const char* destDir);
QVFS_API int QVFS_BackupSrcLstStart(_rec_file_info_* list, int count, int backupType,
                                    const char* destDir);
/* Percent 0..100 of the running (or last) backup. */
QVFS_API int QVFS_BackupGetProgress(void);
/* Stops the running backup at its next frame; the file being written is closed as it is. */
QVFS_API int QVFS_BackupStop(void);
/* The records of the running or last backup that failed (their output is removed): returns
 * how many failed, and fills the first `capacity` of them: positions[i] the record's position
 * in the list given to the start call, codes[i] its failure code. Either array may be NULL
 * when capacity is 0. */
QVFS_API int QVFS_BackupGetFailures(int* positions, int* codes, int capacity);
/* ---- Recovery (reading only: nothing is written to the drive) ------------------------------ */

/* Progress of a recovery scan: bytes read so far and in all, and the caller's value. */
typedef void (*QVFS_RecoverProgress)(uint64_t done, uint64_t total, void* user);
/* Scans the data area of every record file of drive (a name of the disk list, or a folder
 * disk's path) for frames that no index entry or segment record covers, and groups them into
 * pieces of one channel in ascending time, from a key frame on (a new piece after a gap of more
 * than 2 s or a jump back). Pieces of the channels in channelMask that meet fromSec..toSec are
 * written to out (as many as fit), in file order. Returns the number of pieces found, -101 for
 * bad arguments, or -5002 when drive is not a record disk. */
QVFS_API int QVFS_RecoverScan(const char* drive, RecoveredPiece* out, int outBytes,
                              uint32_t channelMask, int64_t fromSec, int64_t toSec,
                              QVFS_RecoverProgress progress, void* user);
/* The record description of a recovered piece (operation QVFS_OPERATION_RECOVERED), which the
 * replay, the player and the backups take like any record: 0, or -101. */
QVFS_API int QVFS_RecoveredRecord(const RecoveredPiece* piece, _rec_file_info_* out);

/* Converts a record file held as an ordinary file into MP4 (an H.264 track, and its audio as AAC
 * with the setting of QVFS_BackupAudioParm, as backups write it): 0, -116 without a source, -99
 * (no key frame, or the MP4 file cannot be created), -1003, or the reader's code. */
QVFS_API int QVFS_BackupComFileToMP4(const char* sourcePath, const char* destPath);
/* The recordings' audio for MP4 backups, converted into AAC: audioFormat 0 G.726, 1 G.711
 * A-law, others G.711 mu-law; second the sample rate; third the G.726 code word bits (2 for
 * 16 kbit/s), plus 256 for the RFC 3551 bit packing (first code word in the bottom bits)
 * instead of the one the recorder's ASF audio stream declares; fourth the channels. Without a
 * call: G.726 16 kbit/s, 8000 Hz, mono, ASF packing. 0. */
QVFS_API int QVFS_BackupAudioParm(int audioFormat, int second, int third, int fourth);

#ifdef __cplusplus
}
#endif

#endif /* QVFS_QVFS_H */
