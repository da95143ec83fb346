// The main window. Its client area shows either the single-channel video window (decoder slot
// 0 of the one-channel player, with a "控制" button that brings the play-control window back)
// or the multi-channel grid with its timeline. The toolbar and the "画面" menu choose: one
// channel, or a grid of 1, 4, 9 or 16 tiles (keys 1, 4, 9 and 6). The help menu holds the about
// box.
#pragma once

#include <QMainWindow>

class CVistorApp;
class GridView;
class QAction;
class QPushButton;
class QStackedWidget;
class VideoWidget;

class CVistorDlg : public QMainWindow {
  Q_OBJECT

 public:
  static constexpr int kIdControl = 1001;
  static constexpr int kGridWidth = 1024, kGridHeight = 720;  // the least room of the grid

  explicit CVistorDlg(CVistorApp* app);
  // Gives the video window to decoder slot 0 of the player.
  void AttachVideo();
  VideoWidget* video() { return video_; }
  QPushButton* controlButton() { return control_; }
  GridView* grid() { return grid_; }
  bool gridShown() const;
  // The action of a layout (1, 4, 9, 16), or of the single-channel view (0).
  QAction* layoutAction(int tiles) const;

 public slots:
  // The grid in a layout of 1, 4, 9 or 16 tiles, playing the search window's day (loaded the
  // first time the grid is shown, and again when that day changed).
  void ShowGrid(int tiles);
  // The single-channel view again; the grid stops playing.
  void ShowSingle();

 private slots:
  void ShowPlayControl();
  void ShowAbout();

 private:
  void AddViewActions();

  CVistorApp* app_;
  QStackedWidget* pages_;
  QWidget* singlePage_;
  VideoWidget* video_;
  QPushButton* control_;
  GridView* grid_;
};
