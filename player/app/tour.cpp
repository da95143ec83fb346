#include "tour.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPixmap>
#include <QTimer>
#include <algorithm>
#include <cstdio>

#include "grid_view.h"
#include "main_dialog.h"
#include "playctrl_dialog.h"
#include "player_app.h"
#include "search_dialog.h"
#include "tile_widget.h"
#include "timeline_widget.h"
#include "video_widget.h"

namespace {

void Wait(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

// Waits until ready() or ms pass; ready()'s last answer.
template <typename F>
bool WaitFor(F ready, int ms) {
  QElapsedTimer t;
  t.start();
  while (!ready() && t.elapsed() < ms) Wait(50);
  return ready();
}

void Say(const QString& text) {
  std::printf("%s\n", text.toUtf8().constData());
  std::fflush(stdout);
}

bool Shot(QWidget* w, const QString& dir, const QString& name) {
  const QString path = QDir(dir).absoluteFilePath(name);
  const bool ok = w->grab().save(path, "PNG");
  Say(QStringLiteral("screenshot %1: %2")
          .arg(w->windowTitle(), ok ? path : QStringLiteral("FAILED")));
  return ok;
}

QString Texts(CDlgPlayctrl* p) {
  p->Refresh();
  return QStringLiteral("mode \"%1\", time \"%2\", slider %3")
      .arg(p->modeLabel()->text(), p->timeLabel()->text())
      .arg(p->slider()->value());
}

// The process's peak resident memory (VmHWM), in KiB; -1 when unknown.
long PeakRssKb() {
  QFile status(QStringLiteral("/proc/self/status"));
  if (!status.open(QIODevice::ReadOnly)) return -1;
  for (const QByteArray& line : status.readAll().split('\n'))
    if (line.startsWith("VmHWM:")) return line.mid(6).trimmed().split(' ').value(0).toLong();
  return -1;
}

// A left click of the timeline at time t, in its first row: the way an operator seeks.
void ClickTimeline(TimelineWidget* timeline, int64_t t) {
  const QPoint at(timeline->XOfTime(t), timeline->SpanArea(0).center().y());
  QMouseEvent press(QEvent::MouseButtonPress, at, timeline->mapToGlobal(at), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
  QMouseEvent release(QEvent::MouseButtonRelease, at, timeline->mapToGlobal(at), Qt::LeftButton,
                      Qt::NoButton, Qt::NoModifier);
  QApplication::sendEvent(timeline, &press);
  QApplication::sendEvent(timeline, &release);
}

QString GridTexts(GridView* grid) {
  grid->Refresh();
  QString tiles;
  for (int n = 0; n < grid->layout(); ++n) {
    TileWidget* t = grid->tile(n);
    tiles += QStringLiteral(" %1:%2").arg(TileWidget::ChannelName(t->channel())).arg(t->shownPictures());
  }
  return QStringLiteral("time \"%1\", mode \"%2\", tiles%3")
      .arg(grid->timeLabel()->text(), grid->modeLabel()->text(), tiles);
}

// The grid of the day's channels in a 2x2 layout: play in step, a fast-forward press, a seek on
// the timeline, the screenshots grid.png and timeline.png and a snapshot. Failures counted.
int GridTour(CVistorApp& app, const QString& dir, int playSeconds) {
  int failures = 0;
  CVistorDlg* main = app.mainDialog();
  GridView* grid = main->grid();
  main->layoutAction(4)->trigger();
  auto painting = [&] {
    for (int n = 0; n < grid->layout(); ++n)
      if (grid->tile(n)->channel() >= 0 && grid->tile(n)->shownPictures() == 0) return false;
    return grid->tile(0)->shownPictures() > 0;
  };
  if (!WaitFor(painting, 15000)) {
    Say(QStringLiteral("FAILED: a tile of the grid painted nothing"));
    ++failures;
  }
  Wait(playSeconds * 500);
  Say(QStringLiteral("grid: day %1, layout %2, skew %3 ms, %4")
          .arg(grid->day().toString(Qt::ISODate))
          .arg(grid->layout())
          .arg(app.multiVistor().SkewMs())
          .arg(GridTexts(grid)));
  if (!Shot(grid->tileArea(), dir, QStringLiteral("grid.png"))) ++failures;

  grid->button(GridView::kFast)->click();
  Wait(600);
  Say(QStringLiteral("grid fast forward: %1").arg(GridTexts(grid)));
  grid->button(GridView::kNormal)->click();

  // A click on the timeline a minute into the day's first recording (or its middle).
  int64_t first = 0, last = 0;
  app.multiVistor().Span(&first, &last);
  TimelineWidget* timeline = grid->timeline();
  timeline->SetVisibleRange(first - 10 * 60 * 1000, first + 20 * 60 * 1000);
  const int64_t target = std::min(first + 60 * 1000, first + (last - first) / 2);
  ClickTimeline(timeline, target);
  Wait(1500);
  const int64_t now = app.multiVistor().clock().Now();
  Say(QStringLiteral("timeline seek: %1 s after the first recording's start, %2")
          .arg((now - first) / 1000)
          .arg(GridTexts(grid)));
  if (now < target - 1000 || now > target + 5000) {
    Say(QStringLiteral("FAILED: the timeline did not move the clock there"));
    ++failures;
  }
  if (!Shot(timeline, dir, QStringLiteral("timeline.png"))) ++failures;
  const QString snapshot = grid->SaveSnapshot(dir);
  Say(QStringLiteral("snapshot: %1").arg(snapshot.isEmpty() ? QStringLiteral("FAILED") : snapshot));
  if (snapshot.isEmpty()) ++failures;
  main->layoutAction(0)->trigger();
  return failures;
}

}  // namespace

int RunTour(CVistorApp& app, const QString& dir, int playSeconds) {
  QDir().mkpath(dir);
  CSearchRecDlg* search = app.searchDialog();
  CDlgPlayctrl* control = app.playControl();
  VideoWidget* video = app.mainDialog()->video();
  int failures = 0;
  auto fail = [&](const QString& what) {
    Say(QStringLiteral("FAILED: ") + what);
    ++failures;
  };

  Say(QStringLiteral("disks: %1").arg(search->disks()->count()));
  for (int i = 0; i < search->disks()->count(); ++i)
    Say(QStringLiteral("  ") + search->disks()->itemText(i));
  if (search->disks()->count() == 0) Say(search->status()->text());

  // Search everything of the first channel that holds recordings.
  search->allTimes()->setChecked(true);
  search->button(1096)->click();
  QTableWidget* rows = search->results();
  Say(QStringLiteral("search %1, all times: %2 records")
          .arg(search->channels()->currentText())
          .arg(rows->rowCount()));
  for (int r = 0; r < rows->rowCount(); ++r)
    Say(QStringLiteral("  %1  CH%2  %3  %4")
            .arg(rows->item(r, 0)->text(), rows->item(r, 1)->text(), rows->item(r, 2)->text(),
                 rows->item(r, 3)->text()));
  if (rows->rowCount() == 0) {
    fail(QStringLiteral("no recordings found"));
    return 1;
  }

  // Play the results.
  search->button(1001)->click();
  if (!WaitFor([&] { return video->shownPictures() > 0; }, 10000))
    fail(QStringLiteral("no picture painted"));
  Wait(playSeconds * 1000);
  Say(QStringLiteral("playing: %1 pictures painted, %2")
          .arg(video->shownPictures())
          .arg(Texts(control)));
  bool shots = Shot(app.mainDialog(), dir, QStringLiteral("main-window.png"));
  shots &= Shot(search, dir, QStringLiteral("search-window.png"));
  shots &= Shot(control, dir, QStringLiteral("play-control-window.png"));
  if (!shots) fail(QStringLiteral("screenshots"));

  // Pause: the picture stands still.
  control->button(1001)->click();
  Wait(600);
  const int pausedAt = video->shownPictures();
  Wait(1000);
  Say(QStringLiteral("paused: button \"%1\", %2 pictures during the pause, %3")
          .arg(control->button(1001)->text())
          .arg(video->shownPictures() - pausedAt)
          .arg(Texts(control)));
  if (video->shownPictures() - pausedAt > 1)
    fail(QStringLiteral("pictures kept coming while paused"));
  control->button(1001)->click();  // play again

  // Seek to the middle: the slider is let go there.
  control->slider()->setSliderDown(true);
  control->slider()->setSliderPosition(500);
  control->slider()->setSliderDown(false);
  Wait(1500);
  Say(QStringLiteral("seek to 500 per mille: %1").arg(Texts(control)));

  // The modes: five presses of fast forward, then slow, single frame and normal.
  for (int press = 0; press < 5; ++press) {
    control->button(1007)->click();
    Wait(300);
    Say(QStringLiteral("fast forward press %1: %2").arg(press + 1).arg(Texts(control)));
  }
  control->button(1010)->click();
  Wait(500);
  Say(QStringLiteral("slow: %1").arg(Texts(control)));
  control->button(1024)->click();
  Wait(500);
  Say(QStringLiteral("normal: %1").arg(Texts(control)));

  // Back up the first record as MP4.
  const QString backupDir = QDir(dir).absoluteFilePath(QStringLiteral("backup"));
  QDir().mkpath(backupDir);
  search->backupDir()->setText(backupDir);
  rows->item(0, 0)->setCheckState(Qt::Checked);
  search->button(1002)->click();
  if (!WaitFor([&] { return search->progress()->value() >= 100; }, 120000))
    fail(QStringLiteral("the backup did not reach 100"));
  Say(QStringLiteral("backup: progress %1").arg(search->progress()->value()));
  for (const QFileInfo& f : QDir(backupDir).entryInfoList(QDir::Files))
    Say(QStringLiteral("  %1 (%2 bytes)").arg(f.absoluteFilePath()).arg(f.size()));

  control->button(1002)->click();  // stop
  failures += GridTour(app, dir, playSeconds);
  Say(QStringLiteral("peak resident memory: %1 MiB").arg(PeakRssKb() / 1024.0, 0, 'f', 1));
  Say(failures == 0 ? QStringLiteral("tour done")
                    : QStringLiteral("tour done with %1 failures").arg(failures));
  return failures == 0 ? 0 : 1;
}
