#include "video_widget.h"

#include <QPainter>
#include <QResizeEvent>

VideoWidget::VideoWidget(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  setMinimumSize(320, 180);
  connect(this, &VideoWidget::pictureReady, this, &VideoWidget::ShowPicture, Qt::QueuedConnection);
}

bool VideoWidget::ClientSize(int* width, int* height) const {
  *width = width_.load();
  *height = height_.load();
  return *width > 0 && *height > 0;
}

void VideoWidget::Present(const uint8_t* bgra, int lineSize, int width, int height) {
  // 32-bit BGRA in memory is QImage's ARGB32 on a little-endian machine. The decoder reuses its
  // buffer for the next picture: the image takes a copy.
  QImage view(bgra, width, height, lineSize, QImage::Format_ARGB32);
  QImage copy = view.copy();
  // The time stamp travels with the picture to the UI thread.
  copy.setText(QStringLiteral("pts"), QString::number(pendingPts_.load()));
  emit pictureReady(copy);
}

void VideoWidget::ShowPicture(QImage picture) {
  picturePts_ = picture.text(QStringLiteral("pts")).toLongLong();
  picture_ = std::move(picture);
  ++shownPictures_;
  update();
}

void VideoWidget::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), Qt::black);
  if (!picture_.isNull()) p.drawImage(QPoint(0, 0), picture_);
}

void VideoWidget::resizeEvent(QResizeEvent* event) {
  width_ = event->size().width();
  height_ = event->size().height();
  QWidget::resizeEvent(event);
}

void VideoWidget::showEvent(QShowEvent* event) {
  width_ = width();
  height_ = height();
  shown_ = true;
  QWidget::showEvent(event);
}

void VideoWidget::hideEvent(QHideEvent* event) {
  shown_ = false;
  QWidget::hideEvent(event);
}
