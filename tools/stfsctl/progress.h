// A progress bar on stderr for long work, shown only when stderr is a terminal and the output
// is not JSON.
#pragma once

#include <cstdint>

// Routes the library's progress reports to the bar (or nowhere).
void InstallProgressBar(bool json);
// Progress of the tool's own long work (drawn only when the bar is installed).
void ReportToolProgress(const char* what, uint64_t done, uint64_t total);
// Ends the bar's line, if one was drawn.
void FinishProgressBar();
