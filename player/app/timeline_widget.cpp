#include "timeline_widget.h"

#include <QDateTime>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iterator>

namespace {

// Record kinds in the order they are painted: a later kind covers an earlier one where spans
// overlap, as it wins when one span carries several kinds' bits.
enum class Kind { kNone, kScheduled, kManual, kEvent };

constexpr uint32_t kScheduledBit = 1;
constexpr uint32_t kManualBit = 2;
constexpr uint32_t kEventBits = 4 | 8 | 16 | 32;

Kind KindOf(uint32_t typeBits) {
  if (typeBits & kEventBits) return Kind::kEvent;
  if (typeBits & kManualBit) return Kind::kManual;
  if (typeBits & kScheduledBit) return Kind::kScheduled;
  return Kind::kNone;
}

constexpr int kSpanInset = 2;    // blank pixels above and below a span within its row
constexpr int kTickHeight = 5;   // tick marks at the bottom of the header
constexpr int kMinTickGap = 40;  // pixels between ticks at least
constexpr int kPositionWidth = 2;
constexpr int64_t kSecondsViewBelowMs = 30 * 60 * 1000;  // shorter views show seconds

// Tick steps on round clock times, the first one at least kMinTickGap apart is used.
constexpr int64_t kMinute = 60 * 1000;
constexpr int64_t kTickSteps[] = {kMinute,       2 * kMinute,   5 * kMinute,  10 * kMinute,
                                  15 * kMinute,  30 * kMinute,  60 * kMinute, 120 * kMinute,
                                  180 * kMinute, 360 * kMinute, 720 * kMinute};

}  // namespace

TimelineWidget::TimelineWidget(QWidget* parent) : QWidget(parent) {
  setMinimumWidth(kMinimumWidth);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void TimelineWidget::SetDay(int64_t dayStartMs, int64_t dayEndMs) {
  if (dayEndMs <= dayStartMs) {
    qWarning("TimelineWidget: empty day %lld..%lld ignored", static_cast<long long>(dayStartMs),
             static_cast<long long>(dayEndMs));
    return;
  }
  dayStart_ = dayStartMs;
  dayEnd_ = dayEndMs;
  visibleStart_ = dayStart_;
  visibleEnd_ = dayEnd_;
  update();
}

void TimelineWidget::SetRows(const std::vector<TimelineRow>& rows) {
  const bool heightChanges = std::max<size_t>(rows.size(), 1) != std::max<size_t>(rows_.size(), 1);
  rows_ = rows;
  if (heightChanges) updateGeometry();
  update();
}

void TimelineWidget::SetPosition(int64_t ms) {
  position_ = ms;
  update();
}

void TimelineWidget::SetVisibleRange(int64_t startMs, int64_t endMs) {
  if (endMs < startMs) std::swap(startMs, endMs);
  // A day shorter than the shortest view (never a real one) is shown whole.
  const int64_t maxLength = DayLength();
  const int64_t minLength = std::min(kMinVisibleMs, maxLength);
  const int64_t length = std::clamp(endMs - startMs, minLength, maxLength);
  if (length != endMs - startMs) startMs += (endMs - startMs - length) / 2;
  startMs = std::clamp(startMs, dayStart_, dayEnd_ - length);
  if (startMs == visibleStart_ && startMs + length == visibleEnd_) return;
  visibleStart_ = startMs;
  visibleEnd_ = startMs + length;
  update();
}

int TimelineWidget::RowsWidth() const { return std::max(1, width() - kLabelWidth); }

int64_t TimelineWidget::TimeAtX(int x) const {
  const double length = static_cast<double>(visibleEnd_ - visibleStart_);
  return visibleStart_ + std::llround((x - kLabelWidth) * length / RowsWidth());
}

int TimelineWidget::XOfTime(int64_t ms) const {
  const double length = static_cast<double>(visibleEnd_ - visibleStart_);
  const double x = kLabelWidth + (static_cast<double>(ms) - visibleStart_) * RowsWidth() / length;
  // Times far outside the view still give a pixel position QPainter can take.
  constexpr double kFar = 1 << 24;
  return static_cast<int>(std::lround(std::clamp(x, -kFar, kFar)));
}

int TimelineWidget::HeaderHeight() const {
  return std::max(22, fontMetrics().height() + kTickHeight + 4);
}

QRect TimelineWidget::SpanArea(int row) const {
  const int top = HeaderHeight() + row * kRowHeight + kSpanInset;
  return QRect(kLabelWidth, top, RowsWidth(), kRowHeight - 2 * kSpanInset);
}

QColor TimelineWidget::TypeColor(uint32_t typeBits) {
  switch (KindOf(typeBits)) {
    case Kind::kEvent:
      return QColor(240, 140, 0);  // orange
    case Kind::kManual:
      return QColor(40, 110, 220);  // blue
    case Kind::kScheduled:
      return QColor(50, 160, 70);  // green
    case Kind::kNone:
      break;
  }
  return QColor(150, 150, 150);
}

QColor TimelineWidget::PositionColor() { return QColor(220, 0, 0); }

QSize TimelineWidget::sizeHint() const {
  return QSize(2 * kMinimumWidth, minimumSizeHint().height());
}

QSize TimelineWidget::minimumSizeHint() const {
  const int rows = std::max<int>(1, static_cast<int>(rows_.size()));
  return QSize(kMinimumWidth, HeaderHeight() + rows * kRowHeight);
}

// The clock time of ms; the day's end is local midnight of the next day, shown as 24:00.
QString TimelineWidget::FormatTime(int64_t ms, bool withSeconds) const {
  if (ms == dayEnd_) return withSeconds ? QStringLiteral("24:00:00") : QStringLiteral("24:00");
  return QDateTime::fromMSecsSinceEpoch(ms).toString(withSeconds ? QStringLiteral("HH:mm:ss")
                                                                 : QStringLiteral("HH:mm"));
}

void TimelineWidget::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), palette().color(QPalette::Base));
  p.fillRect(QRect(0, 0, kLabelWidth, height()), palette().color(QPalette::Window));
  PaintHeader(p);
  PaintRows(p);
  PaintPosition(p);
}

void TimelineWidget::PaintHeader(QPainter& p) {
  const QFontMetrics fm = fontMetrics();
  const bool withSeconds = visibleEnd_ - visibleStart_ < kSecondsViewBelowMs;
  const QString start = FormatTime(visibleStart_, withSeconds);
  const QString end = FormatTime(visibleEnd_, withSeconds);
  const int textTop = 2;
  const int left = kLabelWidth + 2;
  const int right = width() - 2;
  p.setPen(palette().color(QPalette::WindowText));
  p.drawText(left, textTop + fm.ascent(), start);
  p.drawText(right - fm.horizontalAdvance(end), textTop + fm.ascent(), end);
  PaintLegend(p, left + fm.horizontalAdvance(start), right - fm.horizontalAdvance(end));
  PaintTicks(p);
}

// The three kinds' colours and names, centred between the start and end times.
void TimelineWidget::PaintLegend(QPainter& p, int left, int right) {
  struct Entry {
    uint32_t bits;
    QString text;
  };
  const Entry entries[] = {{kScheduledBit, QStringLiteral("定时")},
                           {kManualBit, QStringLiteral("手动")},
                           {4, QStringLiteral("报警")}};
  const QFontMetrics fm = fontMetrics();
  const int box = std::min(10, fm.ascent());
  const int boxGap = 3;
  const int entryGap = 10;
  int total = 0;
  for (const Entry& e : entries) total += box + boxGap + fm.horizontalAdvance(e.text) + entryGap;
  total -= entryGap;
  int x = left + std::max(0, (right - left - total) / 2);
  const int textTop = 2;
  const int boxTop = textTop + (fm.height() - box) / 2;
  for (const Entry& e : entries) {
    p.fillRect(QRect(x, boxTop, box, box), TypeColor(e.bits));
    x += box + boxGap;
    p.drawText(x, textTop + fm.ascent(), e.text);
    x += fm.horizontalAdvance(e.text) + entryGap;
  }
}

// Ticks on round clock times counted from the day's start (local midnight), as many as fit.
void TimelineWidget::PaintTicks(QPainter& p) {
  const int bottom = HeaderHeight() - 1;
  p.setPen(palette().color(QPalette::Mid));
  p.drawLine(kLabelWidth, bottom, width() - 1, bottom);
  const double pixelsPerMs = static_cast<double>(RowsWidth()) / (visibleEnd_ - visibleStart_);
  int64_t step = kTickSteps[std::size(kTickSteps) - 1];
  for (int64_t s : kTickSteps) {
    if (s * pixelsPerMs >= kMinTickGap) {
      step = s;
      break;
    }
  }
  const int64_t first = dayStart_ + (visibleStart_ - dayStart_ + step - 1) / step * step;
  for (int64_t t = first; t <= visibleEnd_; t += step) {
    const int x = std::min(XOfTime(t), width() - 1);
    p.drawLine(x, bottom - kTickHeight, x, bottom);
  }
}

void TimelineWidget::PaintRows(QPainter& p) {
  const QFontMetrics fm = fontMetrics();
  const int header = HeaderHeight();
  for (size_t i = 0; i < rows_.size(); ++i) {
    const int top = header + static_cast<int>(i) * kRowHeight;
    p.setPen(palette().color(QPalette::WindowText));
    const QString name = fm.elidedText(rows_[i].name, Qt::ElideRight, kLabelWidth - 6);
    p.drawText(QRect(4, top, kLabelWidth - 6, kRowHeight), Qt::AlignLeft | Qt::AlignVCenter, name);
    p.setPen(palette().color(QPalette::Midlight));
    p.drawLine(0, top + kRowHeight - 1, width() - 1, top + kRowHeight - 1);
  }
  // Spans only in the rows area, kinds of lower precedence first.
  p.save();
  p.setClipRect(QRect(kLabelWidth, header, RowsWidth(), height() - header));
  for (Kind kind : {Kind::kNone, Kind::kScheduled, Kind::kManual, Kind::kEvent}) {
    for (size_t i = 0; i < rows_.size(); ++i) {
      const QRect area = SpanArea(static_cast<int>(i));
      for (const TimelineSpan& span : rows_[i].spans) {
        if (KindOf(span.typeBits) != kind) continue;
        const int64_t start = std::max(span.startMs, visibleStart_);
        const int64_t end = std::min(span.endMs, visibleEnd_);
        if (end <= start) continue;
        // A span shorter than a pixel still shows as one.
        const int x0 = XOfTime(start);
        const int x1 = std::max(XOfTime(end), x0 + 1);
        p.fillRect(QRect(x0, area.top(), x1 - x0, area.height()), TypeColor(span.typeBits));
      }
    }
  }
  p.restore();
}

void TimelineWidget::PaintPosition(QPainter& p) {
  if (position_ < visibleStart_ || position_ > visibleEnd_) return;
  // Two pixels ending at the position's column, moved inside the rows area at its edges.
  const int x = XOfTime(position_);
  const int left = std::clamp(x - 1, kLabelWidth, std::max(kLabelWidth, width() - kPositionWidth));
  const int top = HeaderHeight() - kTickHeight - 1;
  p.fillRect(QRect(left, top, kPositionWidth, height() - top), PositionColor());
}

void TimelineWidget::wheelEvent(QWheelEvent* event) {
  const int delta = event->angleDelta().y();
  if (delta == 0) {
    event->ignore();
    return;
  }
  // High-resolution wheels send parts of a notch; they add up to whole ones.
  wheelRemainder_ += delta;
  const int notches = wheelRemainder_ / 120;
  wheelRemainder_ -= notches * 120;
  if (notches != 0) ZoomAt(static_cast<int>(event->position().x()), notches);
  event->accept();
}

// Each notch forward halves the view, each one back doubles it, keeping the time under x at x.
void TimelineWidget::ZoomAt(int x, int notches) {
  const int64_t length = visibleEnd_ - visibleStart_;
  const double fraction = std::clamp(static_cast<double>(x - kLabelWidth) / RowsWidth(), 0.0, 1.0);
  const double anchor = visibleStart_ + fraction * length;
  const int64_t maxLength = DayLength();
  const int64_t minLength = std::min(kMinVisibleMs, maxLength);
  const double scaled = std::ldexp(static_cast<double>(length), -notches);
  const int64_t newLength = std::llround(
      std::clamp(scaled, static_cast<double>(minLength), static_cast<double>(maxLength)));
  const int64_t newStart = std::llround(anchor - fraction * newLength);
  SetVisibleRange(newStart, newStart + newLength);
}

bool TimelineWidget::InRowsArea(QPoint pos) const {
  return pos.x() >= kLabelWidth && pos.x() < width() && pos.y() >= HeaderHeight() &&
         pos.y() < height();
}

void TimelineWidget::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    QWidget::mousePressEvent(event);
    return;
  }
  pressed_ = true;
  dragging_ = false;
  pressPos_ = event->position().toPoint();
  pressVisibleStart_ = visibleStart_;
  event->accept();
}

void TimelineWidget::mouseMoveEvent(QMouseEvent* event) {
  if (!pressed_) {
    QWidget::mouseMoveEvent(event);
    return;
  }
  const QPoint moved = event->position().toPoint() - pressPos_;
  if (!dragging_ &&
      (std::abs(moved.x()) > kDragThreshold || std::abs(moved.y()) > kDragThreshold)) {
    dragging_ = true;
    setCursor(Qt::ClosedHandCursor);
  }
  if (dragging_) {
    // The time under the press point follows the mouse.
    const int64_t length = visibleEnd_ - visibleStart_;
    const int64_t shift = std::llround(static_cast<double>(moved.x()) * length / RowsWidth());
    SetVisibleRange(pressVisibleStart_ - shift, pressVisibleStart_ - shift + length);
  }
  event->accept();
}

void TimelineWidget::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !pressed_) {
    QWidget::mouseReleaseEvent(event);
    return;
  }
  const bool wasDrag = dragging_;
  pressed_ = false;
  dragging_ = false;
  if (wasDrag) unsetCursor();
  if (!wasDrag && InRowsArea(pressPos_))
    emit seekRequested(std::clamp(TimeAtX(pressPos_.x()), dayStart_, dayEnd_));
  event->accept();
}
