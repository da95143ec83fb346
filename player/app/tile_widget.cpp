#include "tile_widget.h"

#include <QContextMenuEvent>
#include <QDateTime>
#include <QMenu>
#include <QPainter>

TileWidget::TileWidget(int index, QWidget* parent) : VideoWidget(parent), index_(index) {
  setMinimumSize(80, 45);
  setObjectName(QStringLiteral("tile%1").arg(index));
}

QString TileWidget::ChannelName(int channel) {
  return channel < 0 ? QStringLiteral("--") : QString::asprintf("CH%02d", channel);
}

void TileWidget::SetState(int channel, bool recording) {
  if (channel == channel_ && recording == recording_) return;
  channel_ = channel;
  recording_ = recording;
  update();
}

QString TileWidget::TimeText() const {
  const int64_t pts = picturePts();
  if (pts <= 0) return QString();
  return QDateTime::fromMSecsSinceEpoch(pts).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
}

void TileWidget::paintEvent(QPaintEvent* event) {
  if (recording_) {
    VideoWidget::paintEvent(event);
  } else {
    QPainter dark(this);
    dark.fillRect(rect(), QColor(24, 24, 28));
  }
  QPainter p(this);
  QFont f = p.font();
  f.setBold(true);
  p.setFont(f);
  const QRect box = rect().adjusted(6, 4, -6, -4);
  // Text with a dark outline stays readable over any picture.
  auto text = [&](int flags, const QString& s) {
    p.setPen(Qt::black);
    for (const QPoint d : {QPoint(1, 1), QPoint(-1, -1), QPoint(1, -1), QPoint(-1, 1)})
      p.drawText(box.translated(d), flags, s);
    p.setPen(Qt::white);
    p.drawText(box, flags, s);
  };
  text(Qt::AlignLeft | Qt::AlignTop, ChannelName(channel_));
  if (recording_) text(Qt::AlignRight | Qt::AlignBottom, TimeText());
  else if (channel_ >= 0) text(Qt::AlignCenter, QStringLiteral("无录像"));
}

void TileWidget::mouseDoubleClickEvent(QMouseEvent*) { emit doubleClicked(index_); }

void TileWidget::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  QMenu* channels = menu.addMenu(QStringLiteral("通道"));
  channels->addAction(QStringLiteral("无"), this, [this] { emit channelChosen(index_, -1); });
  for (int ch : choices_)
    channels->addAction(ChannelName(ch), this, [this, ch] { emit channelChosen(index_, ch); });
  menu.addAction(QStringLiteral("抓图"), this, [this] { emit snapshotWanted(index_); });
  menu.exec(event->globalPos());
}
