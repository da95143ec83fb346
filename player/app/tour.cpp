#include "tour.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QMessageBox>
#include <QPixmap>
#include <QTimer>
#include <cstdio>

#include "main_dialog.h"
#include "playctrl_dialog.h"
#include "player_app.h"
#include "search_dialog.h"
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
  Say(QStringLiteral("peak resident memory: %1 MiB").arg(PeakRssKb() / 1024.0, 0, 'f', 1));
  Say(failures == 0 ? QStringLiteral("tour done")
                    : QStringLiteral("tour done with %1 failures").arg(failures));
  return failures == 0 ? 0 : 1;
}
