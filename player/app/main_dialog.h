// The main window: its client area is the video window of decoder slot 0; a "控制" button brings
// the play-control window back, and the help menu holds the about box.
#pragma once

#include <QMainWindow>

class CVistorApp;
class QPushButton;
class VideoWidget;

class CVistorDlg : public QMainWindow {
  Q_OBJECT

 public:
  static constexpr int kIdControl = 1001;

  explicit CVistorDlg(CVistorApp* app);
  // Gives the video window to decoder slot 0 of the player.
  void AttachVideo();
  VideoWidget* video() { return video_; }
  QPushButton* controlButton() { return control_; }

 private slots:
  void ShowPlayControl();
  void ShowAbout();

 private:
  CVistorApp* app_;
  VideoWidget* video_;
  QPushButton* control_;
};
