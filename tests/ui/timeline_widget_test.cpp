// The timeline strip, offscreen: spans painted in their kind's colour over exactly their time
// range, the position line, clicks asking to seek, drags panning, wheel zoom around the cursor
// within its limits, and days of 23 and 25 hours.
#include "timeline_widget.h"

#include <QApplication>
#include <QDateTime>
#include <QSignalSpy>
#include <QWheelEvent>
#include <QtTest>
#include <memory>

namespace {

constexpr int64_t kHour = 60 * 60 * 1000;
constexpr int64_t kMinute = 60 * 1000;
constexpr int kAxisWidth = 720;  // a whole day is two minutes a pixel
constexpr int kLabel = TimelineWidget::kLabelWidth;

QImage Grab(TimelineWidget& w) { return w.grab().toImage().convertToFormat(QImage::Format_RGB32); }

// The columns of line y whose pixel is colour, in order.
QList<int> ColumnsOf(const QImage& image, int y, const QColor& colour) {
  QList<int> columns;
  for (int x = 0; x < image.width(); ++x)
    if (image.pixelColor(x, y) == colour) columns << x;
  return columns;
}

QList<int> Range(int from, int to) {  // [from, to)
  QList<int> r;
  for (int x = from; x < to; ++x) r << x;
  return r;
}

int CountOf(const QImage& image, QRect area, const QColor& colour) {
  int n = 0;
  for (int y = area.top(); y <= area.bottom(); ++y)
    for (int x = area.left(); x <= area.right(); ++x) n += image.pixelColor(x, y) == colour;
  return n;
}

}  // namespace

class TimelineWidgetTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<TimelineWidget> w_;
  const int64_t day_ = QDateTime(QDate(2024, 3, 10), QTime(0, 0), Qt::UTC).toMSecsSinceEpoch();

  int RowY(int row) const { return w_->SpanArea(row).center().y(); }
  int64_t Length() const { return w_->visibleEndMs() - w_->visibleStartMs(); }
  void Wheel(int x, int delta) {
    const QPointF pos(x, RowY(0));
    QWheelEvent event(pos, w_->mapToGlobal(pos), QPoint(), QPoint(0, delta), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(w_.get(), &event);
  }
  void Drag(int fromX, int toX) {
    QTest::mousePress(w_.get(), Qt::LeftButton, {}, QPoint(fromX, RowY(0)));
    QTest::mouseMove(w_.get(), QPoint((fromX + toX) / 2, RowY(0)));
    QTest::mouseMove(w_.get(), QPoint(toX, RowY(0)));
    QTest::mouseRelease(w_.get(), Qt::LeftButton, {}, QPoint(toX, RowY(0)));
  }

 private slots:
  void init() {
    w_ = std::make_unique<TimelineWidget>();
    w_->SetDay(day_, day_ + 24 * kHour);
    w_->SetRows({{1, "CH01", {}}, {2, "CH02", {}}});
    w_->resize(kLabel + kAxisWidth, w_->sizeHint().height());
    w_->show();
    QVERIFY(QTest::qWaitForWindowExposed(w_.get()));
  }
  void cleanup() { w_.reset(); }

  void sizeFollowsRows() {
    QCOMPARE(w_->sizeHint().height(), w_->HeaderHeight() + 2 * TimelineWidget::kRowHeight);
    w_->SetRows({});
    QCOMPARE(w_->sizeHint().height(), w_->HeaderHeight() + TimelineWidget::kRowHeight);
    QCOMPARE(w_->minimumWidth(), 320);
  }

  // Each span fills exactly the columns of its time range in its own row; the legend in the
  // header shows all three colours.
  void spansPaintTheirTimeRangeOnly() {
    const TimelineSpan scheduled{day_ + 2 * kHour, day_ + 4 * kHour, 1};
    const TimelineSpan manual{day_ + 10 * kHour, day_ + 10 * kHour + 30 * kMinute, 2};
    w_->SetRows({{1, "CH01", {scheduled}}, {2, "CH02", {manual}}});
    QImage image = Grab(*w_);
    const QColor green = TimelineWidget::TypeColor(1), blue = TimelineWidget::TypeColor(2);
    QCOMPARE(ColumnsOf(image, RowY(0), green), Range(kLabel + 60, kLabel + 120));
    QCOMPARE(ColumnsOf(image, RowY(1), blue),
             Range(w_->XOfTime(manual.startMs), w_->XOfTime(manual.endMs)));
    QVERIFY(ColumnsOf(image, RowY(1), green).isEmpty());
    QVERIFY(ColumnsOf(image, RowY(0), blue).isEmpty());
    const QRect header(0, 0, w_->width(), w_->HeaderHeight());
    for (uint bits : {1u, 2u, 4u}) QVERIFY(CountOf(image, header, TimelineWidget::TypeColor(bits)));

    // Zoomed in, the part inside the view is drawn from the left edge on.
    w_->SetVisibleRange(day_ + 3 * kHour, day_ + 5 * kHour);
    QCOMPARE(ColumnsOf(Grab(*w_), RowY(0), green), Range(kLabel, w_->XOfTime(scheduled.endMs)));
  }

  void typeColourPrecedence_data() {
    QTest::addColumn<uint>("bits");
    QTest::addColumn<uint>("kind");  // the one bit whose colour wins
    QTest::newRow("manual over scheduled") << 3u << 2u;
    QTest::newRow("event 32 over scheduled") << 33u << 4u;
    QTest::newRow("event 8 over manual") << 10u << 4u;
    QTest::newRow("event 16 over both") << 19u << 4u;
  }
  void typeColourPrecedence() {
    QFETCH(uint, bits);
    QFETCH(uint, kind);
    const QColor expected = TimelineWidget::TypeColor(kind);
    w_->SetRows({{1, "CH01", {{day_ + kHour, day_ + 2 * kHour, bits}}}});
    QCOMPARE(Grab(*w_).pixelColor(w_->XOfTime(day_ + 90 * kMinute), RowY(0)), expected);
    const QSet<QRgb> distinct = {
        TimelineWidget::TypeColor(1).rgb(), TimelineWidget::TypeColor(2).rgb(),
        TimelineWidget::TypeColor(4).rgb(), TimelineWidget::PositionColor().rgb()};
    QCOMPARE(distinct.size(), 4);
  }

  // Overlapping spans of one row: the winning kind covers the others, whatever their order.
  void overlappingSpansShowTheWinningKind() {
    w_->SetRows({{1,
                  "CH01",
                  {{day_ + 6 * kHour, day_ + 7 * kHour, 4},
                   {day_ + 5 * kHour, day_ + 9 * kHour, 2},
                   {day_, day_ + 12 * kHour, 1}}}});
    const QImage image = Grab(*w_);
    QCOMPARE(ColumnsOf(image, RowY(0), TimelineWidget::TypeColor(4)),
             Range(w_->XOfTime(day_ + 6 * kHour), w_->XOfTime(day_ + 7 * kHour)));
    QCOMPARE(image.pixelColor(w_->XOfTime(day_ + 8 * kHour), RowY(0)),
             TimelineWidget::TypeColor(2));
  }

  void positionLine() {
    const QColor red = TimelineWidget::PositionColor();
    QCOMPARE(CountOf(Grab(*w_), w_->rect(), red), 0);  // no position yet

    // Over a span, in every row, at the position's column.
    w_->SetRows({{1, "CH01", {{day_ + 4 * kHour, day_ + 6 * kHour, 1}}}, {2, "CH02", {}}});
    w_->SetPosition(day_ + 5 * kHour);
    const QImage image = Grab(*w_);
    for (int row : {0, 1}) {
      const QList<int> columns = ColumnsOf(image, RowY(row), red);
      QCOMPARE(columns.size(), 2);
      QVERIFY(columns.contains(w_->XOfTime(day_ + 5 * kHour)));
    }

    // Outside the view: not drawn, on either side.
    w_->SetVisibleRange(day_ + 8 * kHour, day_ + 9 * kHour);
    QCOMPARE(CountOf(Grab(*w_), w_->rect(), red), 0);
    w_->SetPosition(day_ + 9 * kHour + 1);
    QCOMPARE(CountOf(Grab(*w_), w_->rect(), red), 0);
  }

  void clickSeeksOnlyInRowsArea() {
    QSignalSpy seeks(w_.get(), &TimelineWidget::seekRequested);
    const QPoint point(w_->XOfTime(day_ + 7 * kHour) + 3, RowY(1));
    QTest::mouseClick(w_.get(), Qt::LeftButton, {}, point);
    QCOMPARE(seeks.size(), 1);
    QCOMPARE(seeks.at(0).at(0).value<int64_t>(), w_->TimeAtX(point.x()));
    Drag(point.x(), point.x() + 2);  // a wobble is still a click
    QCOMPARE(seeks.size(), 2);

    for (QPoint elsewhere : {QPoint(kLabel - 1, RowY(0)), QPoint(300, w_->HeaderHeight() - 1)})
      QTest::mouseClick(w_.get(), Qt::LeftButton, {}, elsewhere);
    QTest::mouseClick(w_.get(), Qt::RightButton, {}, point);
    QCOMPARE(seeks.size(), 2);
  }

  // The time under the press point follows the mouse, within the day; no seek.
  void dragPans() {
    QSignalSpy seeks(w_.get(), &TimelineWidget::seekRequested);
    w_->SetVisibleRange(day_ + 8 * kHour, day_ + 10 * kHour);
    const int64_t grabbed = w_->TimeAtX(400);
    Drag(400, 500);
    QCOMPARE(w_->visibleStartMs(), day_ + 8 * kHour - 100 * (2 * kHour / kAxisWidth));
    QCOMPARE(w_->TimeAtX(500), grabbed);
    w_->SetVisibleRange(day_ + kHour, day_ + 3 * kHour);
    Drag(100, w_->width() - 1);
    QCOMPARE(w_->visibleStartMs(), day_);
    QCOMPARE(Length(), 2 * kHour);
    QCOMPARE(seeks.size(), 0);
  }

  void wheelZoomsAroundCursor() {
    const int x = w_->XOfTime(day_ + 6 * kHour) + 1;
    const int64_t anchor = w_->TimeAtX(x);
    // One notch in, two in, one out, a notch in two halves of a high-resolution wheel.
    const std::pair<int, int64_t> steps[] = {
        {120, 12 * kHour}, {240, 3 * kHour}, {-120, 6 * kHour}, {60, 6 * kHour}, {60, 3 * kHour}};
    for (auto [delta, length] : steps) {
      Wheel(x, delta);
      QCOMPARE(Length(), length);
      QVERIFY(std::abs(w_->TimeAtX(x) - anchor) <= Length() / kAxisWidth);
    }

    for (int i = 0; i < 20; ++i) Wheel(x, 120);
    QCOMPARE(Length(), 5 * kMinute);
    for (int i = 0; i < 20; ++i) Wheel(x, -120);
    QCOMPARE(w_->visibleStartMs(), day_);
    QCOMPARE(w_->visibleEndMs(), day_ + 24 * kHour);
  }

  void zoomNeverLeavesTheDay() {
    // Out at the right edge of a view near the day's start, at the left near its end.
    w_->SetVisibleRange(day_ + 2 * kHour, day_ + 6 * kHour);
    Wheel(w_->width() - 1, -120);
    QCOMPARE(w_->visibleStartMs(), day_);
    QCOMPARE(w_->visibleEndMs(), day_ + 8 * kHour);
    w_->SetVisibleRange(day_ + 19 * kHour, day_ + 23 * kHour);
    Wheel(kLabel, -120);
    QCOMPARE(w_->visibleEndMs(), day_ + 24 * kHour);
    QCOMPARE(Length(), 8 * kHour);

    // SetVisibleRange: shifted back into the day, too short a view widened around its middle.
    w_->SetVisibleRange(day_ - kHour, day_ + kMinute);
    QCOMPARE(w_->visibleStartMs(), day_);
    QCOMPARE(Length(), 61 * kMinute);
    w_->SetVisibleRange(day_ + 10 * kHour, day_ + 10 * kHour + kMinute);
    QCOMPARE(w_->visibleStartMs(), day_ + 10 * kHour - 2 * kMinute);
    QCOMPARE(Length(), 5 * kMinute);
  }

  // Days of 23, 24 and 25 hours (DST changes) fill the axis all the same.
  void dayLengths_data() {
    QTest::addColumn<int>("hours");
    for (int hours : {23, 24, 25}) QTest::newRow(qPrintable(QString::number(hours))) << hours;
  }
  void dayLengths() {
    QFETCH(int, hours);
    const int64_t end = day_ + hours * kHour;
    w_->SetDay(day_, end);
    QCOMPARE(w_->visibleStartMs(), day_);
    QCOMPARE(w_->visibleEndMs(), end);
    QCOMPARE(w_->XOfTime(day_), kLabel);
    QCOMPARE(w_->XOfTime(end), w_->width());
    QCOMPARE(w_->TimeAtX(w_->width()), end);
    for (int x : {kLabel, 437, w_->width() - 1}) QCOMPARE(w_->XOfTime(w_->TimeAtX(x)), x);

    // The last hour's span reaches the last column.
    w_->SetRows({{1, "CH01", {{end - kHour, end, 2}}}});
    QCOMPARE(ColumnsOf(Grab(*w_), RowY(0), TimelineWidget::TypeColor(2)),
             Range(w_->XOfTime(end - kHour), w_->width()));

    // Zoomed in and out again: the whole day, not 24 h of it.
    Wheel(300, 360);
    Wheel(300, -1200);
    QCOMPARE(w_->visibleStartMs(), day_);
    QCOMPARE(w_->visibleEndMs(), end);
  }
};

QTEST_MAIN(TimelineWidgetTest)
#include "timeline_widget_test.moc"
