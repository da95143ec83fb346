// The scripted tour of the player: what an operator does first, run by the program itself
// through the windows' own controls (search, play, pause, seek, the modes, a backup), with a
// PNG screenshot of each window. The demo runs it without a display, the display test under X.
#pragma once

#include <QString>

class CVistorApp;

// Runs the tour, printing what it sees to stdout; 0 when every step did what it should.
int RunTour(CVistorApp& app, const QString& dir, int playSeconds);
