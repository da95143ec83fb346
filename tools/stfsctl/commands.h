// stfsctl's commands. Each takes its own arguments and returns the exit status.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli.h"
#include "qvfs/records.h"

// The filters of `search`. The commands that pick record K take the same ones, so that K is the
// K-th record of the same search.
struct SearchFilter {
  int64_t from = 0;
  int64_t to = UINT32_MAX;
  uint32_t channels = 0xFFFFFFFFu;
  int64_t types = 0;
  int64_t source = 0;
};
// The usage lines of the filters.
extern const char* const kSearchFilterUsage;
// Takes the filter option at args[i] (advancing i): true when it was one; *status is then set to
// a usage error's exit status when its value was bad.
bool TakeSearchFilter(const std::vector<std::string>& args, size_t& i, SearchFilter* f,
                      const char* cmd, int* status);
// The play-list search `search` prints: the number of records (out resized), or a code.
int SearchPlayList(const SearchFilter& f, std::vector<_rec_file_info_>* out);
// The state words of a record for the text output: "locked", "open", both or "".
std::string RecordStateText(const _rec_file_info_& r);

int CmdDrives(Invocation& inv);
int CmdTable(Invocation& inv);
int CmdMkimage(Invocation& inv);
int CmdFormat(Invocation& inv);
int CmdIndex(Invocation& inv);
int CmdSearch(Invocation& inv);
int CmdHistory(Invocation& inv);
int CmdDays(Invocation& inv);
int CmdFrames(Invocation& inv);
int CmdDisks(Invocation& inv);
int CmdRecord(Invocation& inv);
int CmdLock(Invocation& inv);
int CmdUnlock(Invocation& inv);
int CmdDelete(Invocation& inv);
int CmdRepair(Invocation& inv);
int CmdPlay(Invocation& inv);
int CmdBackup(Invocation& inv);
int CmdExport(Invocation& inv);
int CmdToMp4(Invocation& inv);
int CmdRecover(Invocation& inv);
int CmdReport(Invocation& inv);
// The word of a recovered piece's reason: deleted, recycled-tail, free-file or unindexed.
std::string ReasonText(int reason);
