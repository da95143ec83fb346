// stfsctl's commands. Each takes its own arguments and returns the exit status.
#pragma once

#include "cli.h"

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
