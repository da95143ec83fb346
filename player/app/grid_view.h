// The multi-channel view of the main window: the grid of tiles (layouts of 1, 4, 9 and 16),
// its own play controls, and the timeline of the day under it. It plays one day of the
// recordings with the multi-channel player: every tile in step on one play clock. A
// double-click shows one tile alone; the timeline seeks every tile; the snapshot saves the grid
// (or the tile shown alone) as PNG; the backup saves the timeline's visible range of every
// channel shown, one file per channel and recording.
#pragma once

#include <QDate>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <array>
#include <vector>

#include "qvfs/records.h"

class CVistorApp;
class CMultiVistor;
class QGridLayout;
class TileWidget;
class TimelineWidget;

class GridView : public QWidget {
  Q_OBJECT

 public:
  // The control buttons' ids (object names "btn<id>").
  enum ControlId : int {
    kPlay = 2001,
    kSlow = 2002,
    kFast = 2003,
    kBack = 2004,
    kSingle = 2005,
    kNormal = 2006,
    kSnapshot = 2007,
    kBackup = 2008,
  };
  static constexpr int kTiles = 16;
  static constexpr int kRefreshMs = 200;

  explicit GridView(CVistorApp* app, QWidget* parent = nullptr);
  ~GridView() override;

  // Loads the recordings of a local day, lays them out and plays them from the first. The
  // number of recordings found.
  int LoadDay(const QDate& day);
  QDate day() const { return day_; }
  // The day the grid opens on: the search window's date when it holds recordings, else the
  // first day that does (today without any).
  static QDate DefaultDay(const QDate& wanted);
  // 1, 4, 9 or 16 tiles.
  void SetLayout(int tiles);
  int layout() const;
  // Shows tile n alone, or the grid again when it is alone already.
  void ToggleSolo(int tile);
  // Stops playing (another view takes over).
  void Stop();

  // Saves the grid (tile < 0; the tile shown alone when there is one) or one tile as PNG into
  // dir, named after the play clock's time. The path, or an empty string when it failed.
  QString SaveSnapshot(const QString& dir, int tile = -1);
  // Starts a backup of the timeline's visible range for every channel shown. An empty string,
  // or what went wrong.
  QString BackupVisibleRange();

  TileWidget* tile(int n) { return tiles_[static_cast<size_t>(n)]; }
  TimelineWidget* timeline() { return timeline_; }
  QWidget* tileArea() { return tileArea_; }
  QPushButton* button(int id) const;
  QLabel* timeLabel() { return timeText_; }
  QLabel* modeLabel() { return modeText_; }

 public slots:
  // The timer: tile states, the timeline position, the time and mode texts.
  void Refresh();

 private slots:
  void OnChannelChosen(int tile, int channel);
  void OnSnapshotWanted(int tile);
  void PlayPause();
  void SingleFrame();

 private:
  CMultiVistor& player();
  void Relayout();
  void BuildTimeline();
  QString SnapshotDir() const;

  CVistorApp* app_;
  QWidget* tileArea_;
  QGridLayout* grid_;
  std::array<TileWidget*, kTiles> tiles_{};
  TimelineWidget* timeline_;
  QLabel* timeText_;
  QLabel* modeText_;
  QTimer timer_;
  QDate day_;
  std::vector<_rec_file_info_> records_;  // the day's
  bool paused_ = false;
};
