// A progress bar on stderr for long work, shown only when stderr is a terminal and the output
// is not JSON.
#pragma once

#include <cstdint>

// Routes the library's progress reports to the bar (or nowhere).
void InstallProgressBar(bool json);
// Ends the bar's line, if one was drawn.
void FinishProgressBar();
