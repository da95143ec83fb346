// The video window: a Qt widget that is also the display surface of a decoder slot. Decode
// threads call Present; the picture is copied into a QImage and handed to the UI thread through
// a queued signal, so no widget is touched off the UI thread.
#pragma once

#include <QImage>
#include <QWidget>
#include <atomic>

#include "player/video_surface.h"

class VideoWidget : public QWidget, public player::VideoSurface {
  Q_OBJECT

 public:
  explicit VideoWidget(QWidget* parent = nullptr);

  // VideoSurface, called on decode threads.
  bool IsVisible() const override { return shown_.load(); }
  bool ClientSize(int* width, int* height) const override;
  void Present(const uint8_t* bgra, int lineSize, int width, int height) override;
  void NoteTime(int64_t ptsMs) override { pendingPts_ = ptsMs; }

  // The picture shown now (null before the first), its time stamp (0 when the player gave
  // none) and how many were shown.
  QImage picture() const { return picture_; }
  int64_t picturePts() const { return picturePts_; }
  int shownPictures() const { return shownPictures_; }

 signals:
  void pictureReady(QImage picture);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private slots:
  void ShowPicture(QImage picture);

 private:
  std::atomic<bool> shown_{false};
  std::atomic<int> width_{0}, height_{0};
  std::atomic<int64_t> pendingPts_{0};  // the time stamp of the picture Present gets next
  QImage picture_;
  int64_t picturePts_ = 0;
  int shownPictures_ = 0;
};
