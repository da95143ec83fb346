#include "progress.h"

#include <unistd.h>

#include <cstdio>

#include "qvfs/qvfs.h"

namespace {
bool g_drawn = false;
bool g_installed = false;
int g_lastPermille = -1;

void Draw(const char* what, uint64_t done, uint64_t total) {
  if (total == 0) return;
  int permille = static_cast<int>(done * 1000 / total);
  if (permille == g_lastPermille) return;
  g_lastPermille = permille;
  const int width = 40;
  int filled = permille * width / 1000;
  fprintf(stderr, "\r%-8s [", what);
  for (int i = 0; i < width; ++i) fputc(i < filled ? '#' : '.', stderr);
  fprintf(stderr, "] %3d.%d%%", permille / 10, permille % 10);
  fflush(stderr);
  g_drawn = true;
}
}  // namespace

void InstallProgressBar(bool json) {
  if (!json && isatty(STDERR_FILENO)) {
    QVFS_SetProgressSink(&Draw);
    g_installed = true;
  }
}

void ReportToolProgress(const char* what, uint64_t done, uint64_t total) {
  if (g_installed) Draw(what, done, total);
}

void FinishProgressBar() {
  if (g_drawn) fputc('\n', stderr);
  g_drawn = false;
  g_lastPermille = -1;
}
