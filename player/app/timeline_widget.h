// The timeline strip under the video grid: one chosen day, one row per channel with its
// recordings drawn as coloured spans, the play position as a vertical line. The wheel zooms
// around the time under the cursor, a left drag pans, a left click asks to seek.
#pragma once

#include <QColor>
#include <QRect>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <limits>
#include <vector>

// One recording on the time axis, in ms since 1970. typeBits are the record type bits:
// 1 scheduled, 2 manual, 4, 8, 16, 32 events.
struct TimelineSpan {
  int64_t startMs;
  int64_t endMs;
  uint32_t typeBits;
};

struct TimelineRow {
  int channel;
  QString name;  // the row label, e.g. "CH01"
  std::vector<TimelineSpan> spans;
};

class TimelineWidget : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kLabelWidth = 56;  // the row label column, left of the time axis
  static constexpr int kRowHeight = 18;
  static constexpr int kMinimumWidth = 320;
  static constexpr int64_t kMinVisibleMs = 5 * 60 * 1000;
  static constexpr int64_t kDayMs = 24 * 60 * 60 * 1000;  // an ordinary day, the first one shown
  static constexpr int kDragThreshold = 4;  // pixels a press moves before it becomes a drag

  explicit TimelineWidget(QWidget* parent = nullptr);

  // The day shown, local midnight to the next local midnight (23 or 25 h on DST days). Shows
  // the whole day again.
  void SetDay(int64_t dayStartMs, int64_t dayEndMs);
  void SetRows(const std::vector<TimelineRow>& rows);
  // The play position; only repaints, so it may be called many times a second.
  void SetPosition(int64_t ms);

  int64_t dayStartMs() const { return dayStart_; }
  int64_t dayEndMs() const { return dayEnd_; }
  int64_t position() const { return position_; }
  int64_t visibleStartMs() const { return visibleStart_; }
  int64_t visibleEndMs() const { return visibleEnd_; }
  // Shows [startMs, endMs): the length is kept between kMinVisibleMs and the day's length
  // (around the middle of the asked range), then the range is shifted back into the day.
  void SetVisibleRange(int64_t startMs, int64_t endMs);

  // The time axis of the rows area (right of the label column): the visible start maps to
  // kLabelWidth, the visible end to width(). TimeAtX(x) is the time at the left edge of pixel
  // column x.
  int64_t TimeAtX(int x) const;
  int XOfTime(int64_t ms) const;
  // The header line with the legend, times and ticks, and where row i's spans are drawn.
  int HeaderHeight() const;
  QRect SpanArea(int row) const;

  // The colour of a span: event over manual over scheduled; grey without any of those bits.
  static QColor TypeColor(uint32_t typeBits);
  static QColor PositionColor();

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 signals:
  void seekRequested(int64_t ms);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  int RowsWidth() const;
  int64_t DayLength() const { return dayEnd_ - dayStart_; }
  void ZoomAt(int x, int notches);
  bool InRowsArea(QPoint pos) const;
  QString FormatTime(int64_t ms, bool withSeconds) const;
  void PaintHeader(QPainter& p);
  void PaintLegend(QPainter& p, int left, int right);
  void PaintTicks(QPainter& p);
  void PaintRows(QPainter& p);
  void PaintPosition(QPainter& p);

  int64_t dayStart_ = 0;
  int64_t dayEnd_ = kDayMs;
  int64_t visibleStart_ = 0;
  int64_t visibleEnd_ = kDayMs;
  int64_t position_ = std::numeric_limits<int64_t>::min();  // none yet: never visible
  std::vector<TimelineRow> rows_;

  int wheelRemainder_ = 0;  // angle delta of high-resolution wheels short of a notch
  bool pressed_ = false;    // the left button went down on the widget
  bool dragging_ = false;   // ... and has moved far enough to pan
  QPoint pressPos_;
  int64_t pressVisibleStart_ = 0;
};
