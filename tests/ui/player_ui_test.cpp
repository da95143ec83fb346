// The desktop player's windows, offscreen, on a record disk that stfsctl formats and records:
// the start-up layout and texts, a search filling the list, play painting pictures, pause, the
// fast-forward presses, the slider seeking on release only, the backup's messages, files and
// progress bar; then the grid: layouts, tiles in step, solo, channel assignment, the modes,
// the timeline's seek, the tiles without a recording, snapshots and the backup of the range.
#include <QApplication>
#include <QDir>
#include <QFontMetrics>
#include <QHeaderView>
#include <QMessageBox>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <csignal>
#include <memory>

#include <sys/resource.h>

#include "grid_view.h"
#include "main_dialog.h"
#include "playctrl_dialog.h"
#include "player_app.h"
#include "search_dialog.h"
#include "tile_widget.h"
#include "timeline_widget.h"
#include "video_widget.h"

namespace {

QString g_stfsctl;  // the command-line tool, from the command line
constexpr int64_t kT0 = 1767607200000;  // the first recordings' start: 2026-01-05 10:00:00 UTC

// Runs a program; fails the test with its output when it does not exit 0.
bool Run(const QString& program, const QStringList& args, const QString& dir) {
  QProcess p;
  p.setWorkingDirectory(dir);
  p.start(program, args);
  if (!p.waitForFinished(120000) || p.exitCode() != 0) {
    qWarning() << program << args << p.readAllStandardError();
    return false;
  }
  return true;
}

// Shows the text of the next message box and closes it.
class MessageCatcher : public QObject {
 public:
  MessageCatcher() {
    timer_.setInterval(20);
    connect(&timer_, &QTimer::timeout, this, [this] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        text = box->text();
        box->accept();
        timer_.stop();
      }
    });
    timer_.start();
  }
  QString text;

 private:
  QTimer timer_;
};

bool AllBlack(const QImage& image) {
  for (int y = 0; y < image.height(); y += 4)
    for (int x = 0; x < image.width(); x += 4)
      if (qGray(image.pixel(x, y)) > 24) return false;
  return true;
}

}  // namespace

class PlayerUiTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;
  std::unique_ptr<CVistorApp> app_;
  CSearchRecDlg* search_ = nullptr;
  CDlgPlayctrl* control_ = nullptr;
  VideoWidget* video_ = nullptr;

  void SearchAll(int channelIndex) {
    search_->channels()->setCurrentIndex(channelIndex);
    search_->allTimes()->setChecked(true);
    search_->button(1096)->click();
  }
  void StopPlay() {
    control_->button(1002)->click();
    QTRY_VERIFY_WITH_TIMEOUT(!app_->vistor().ThreadRunning(), 10000);
  }

 private slots:
  void initTestCase() {
    QVERIFY(dir_.isValid());
    const QString d = dir_.path();
    // A disk with two channels: channel 0 recorded twice, channel 1 once.
    QVERIFY(Run("ffmpeg", {"-v",           "error",
                           "-f",           "lavfi",
                           "-i",           "testsrc2=size=320x240:rate=25",
                           "-frames:v",    "100",
                           "-c:v",         "libx264",
                           "-bf",          "0",
                           "-g",           "25",
                           "-x264-params", "repeat-headers=1",
                           "-pix_fmt",     "yuv420p",
                           "-f",           "h264",
                           "clip.h264"},
                d));
    QVERIFY(Run("ffmpeg",
                {"-v", "error", "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=8000", "-t",
                 "4", "-c:a", "g726", "-b:a", "16k", "-f", "g726", "clip.g726"},
                d));
    QVERIFY(Run(g_stfsctl, {"mkimage", "disk.img", "--size", "1G"}, d));
    QVERIFY(Run(g_stfsctl, {"--no-system-disks", "format", "disk.img", "--file-mb", "64"}, d));
    QVERIFY(Run(g_stfsctl,
                {"--no-system-disks", "--image", "disk.img", "record", "--channels", "0-1",
                 "--input", "clip.h264", "--audio", "clip.g726", "--span", "@1767607200+40s",
                 "--span", "@1767700000+20s"},
                d));
    QVERIFY(Run(g_stfsctl,
                {"--no-system-disks", "--image", "disk.img", "record", "--channels", "0", "--input",
                 "clip.h264", "--span", "@1767800000+10s"},
                d));
    // A recording of channel 1 that is deleted again: only the recovery scan finds it.
    QVERIFY(Run(g_stfsctl,
                {"--no-system-disks", "--image", "disk.img", "record", "--channels", "1", "--input",
                 "clip.h264", "--span", "@1767900000+8s"},
                d));
    QVERIFY(Run(g_stfsctl,
                {"--no-system-disks", "--image", "disk.img", "delete", "--record", "0", "--channels",
                 "1", "--from", "@1767900000"},
                d));
    PlayerOptions o;
    o.images.push_back(QDir(d).absoluteFilePath("disk.img").toStdString());
    o.systemDisks = false;
    app_ = std::make_unique<CVistorApp>(o);
    app_->ShowWindows();
    search_ = app_->searchDialog();
    control_ = app_->playControl();
    video_ = app_->mainDialog()->video();
    QVERIFY(QTest::qWaitForWindowExposed(search_));
  }

  void cleanupTestCase() { app_.reset(); }

  void startupLayoutAndTexts() {
    // The Chinese texts have glyphs (a CJK font is installed).
    QVERIFY(QFontMetrics(search_->font()).inFont(QChar(0x5F55)));
    QCOMPARE(search_->windowTitle(), QString("录像检索"));
    QCOMPARE(control_->windowTitle(), QString("回放控制"));
    QCOMPARE(app_->mainDialog()->controlButton()->text(), QString("控制"));
    const QRect main = app_->mainDialog()->frameGeometry();
    QCOMPARE(search_->frameGeometry().left(), main.right() + 1);
    QCOMPARE(search_->frameGeometry().top(), main.top());
    QCOMPARE(control_->frameGeometry().top(), main.bottom() + 1);

    const std::pair<int, const char*> controlButtons[] = {
        {1001, "播放"}, {1002, "停止"}, {1005, " 上一个"}, {1006, "下一个"},
        {1007, "快进"}, {1008, "快退"}, {1009, "单帧"},    {1010, "慢放"},
        {1024, "正常"}, {1019, "剪辑"}, {1022, "列表"}};
    for (const auto& [id, text] : controlButtons)
      QCOMPARE(control_->button(id)->text(), QString(text));
    QVERIFY(control_->button(1009)->isHidden());
    QVERIFY(control_->button(1019)->isHidden());
    QCOMPARE(control_->modeLabel()->text(), QString("PlayInfo"));
    QCOMPARE(control_->slider()->minimum(), 1);
    QCOMPARE(control_->slider()->maximum(), 1000);
    QCOMPARE(control_->timer()->interval(), 1000);
    QVERIFY(control_->timer()->isActive());

    const std::pair<int, const char*> searchButtons[] = {{1007, "扫描磁盘"}, {1096, "搜索录像"},
                                                         {1010, "选择"},     {1001, "播放"},
                                                         {1002, "备份"},     {2, "取消"}};
    for (const auto& [id, text] : searchButtons)
      QCOMPARE(search_->button(id)->text(), QString(text));
    QVERIFY(search_->button(2)->isHidden());
    QCOMPARE(search_->startTime()->time(), QTime(0, 0, 0));
    QCOMPARE(search_->endTime()->time(), QTime(23, 59, 59));
    QCOMPARE(search_->allTimes()->text(), QString("所有时间段"));
    QCOMPARE(search_->checkAll()->text(), QString("全选"));
    QCOMPARE(search_->progress()->minimum(), 0);
    QCOMPARE(search_->progress()->maximum(), 100);
    QCOMPARE(search_->progress()->value(), 0);
    QTableWidget* rows = search_->results();
    const char* headings[] = {"编号", "CH", "大小", "时间段"};
    for (int c = 0; c < 4; ++c)
      QCOMPARE(rows->horizontalHeaderItem(c)->text(), QString(headings[c]));
    QCOMPARE(rows->columnWidth(2), 80);
    QCOMPARE(rows->columnWidth(1), 30);
    // One disk listed; the channels holding recordings, then all of them.
    QCOMPARE(search_->disks()->count(), 1);
    QVERIFY(search_->status()->text().isEmpty());
    QCOMPARE(search_->channels()->count(), 3);
    QCOMPARE(search_->channels()->itemText(0), QString("CH00"));
    QCOMPARE(search_->channels()->itemText(1), QString("CH01"));
    QVERIFY(search_->sources()->isHidden());  // one disk: no stream choice
  }

  void searchFillsTheList() {
    SearchAll(0);
    QTableWidget* rows = search_->results();
    QCOMPARE(rows->rowCount(), 3);
    QCOMPARE(rows->item(0, 0)->text(), QString("0"));
    QCOMPARE(rows->item(0, 1)->text(), QString("00"));
    QVERIFY(rows->item(0, 2)->text().endsWith(" MB"));
    QCOMPARE(rows->item(0, 3)->text(), QString("2026-01-05 10:00:00--10:00:39"));
    QCOMPARE(rows->item(2, 3)->text().left(10), QString("2026-01-07"));
    QCOMPARE(rows->item(0, 0)->checkState(), Qt::Unchecked);
    QCOMPARE(app_->playList().Count(), 3);
    SearchAll(2);  // every channel
    QCOMPARE(rows->rowCount(), 5);
    // A day without recordings: the list empties, the play list stays.
    search_->allTimes()->setChecked(false);
    search_->startDate()->setDate(QDate(2026, 1, 8));
    search_->endDate()->setDate(QDate(2026, 1, 8));
    search_->button(1096)->click();
    QCOMPARE(rows->rowCount(), 0);
    QCOMPARE(app_->playList().Count(), 5);
    QVERIFY(!search_->status()->text().isEmpty());
    // All times ignores the dates.
    search_->allTimes()->setChecked(true);
    search_->button(1096)->click();
    QCOMPARE(rows->rowCount(), 5);
    // Check all and uncheck all.
    search_->checkAll()->setChecked(true);
    for (int r = 0; r < rows->rowCount(); ++r)
      QCOMPARE(rows->item(r, 0)->checkState(), Qt::Checked);
    search_->checkAll()->setChecked(false);
    for (int r = 0; r < rows->rowCount(); ++r)
      QCOMPARE(rows->item(r, 0)->checkState(), Qt::Unchecked);
  }

  void playPaintsPicturesAndPauseHoldsThem() {
    SearchAll(0);
    search_->button(1001)->click();
    QCOMPARE(control_->button(1001)->text(), QString("暂停"));
    QTRY_VERIFY_WITH_TIMEOUT(video_->shownPictures() > 10, 15000);
    const QImage picture = video_->picture();
    QCOMPARE(picture.size(), video_->size());
    QVERIFY(!AllBlack(picture));
    QVERIFY(!AllBlack(video_->grab().toImage()));
    control_->Refresh();
    QCOMPARE(control_->modeLabel()->text(), QString("正常 X1"));
    QVERIFY(control_->timeLabel()->text().contains("/ 0:39"));
    // Pause: the pictures stop; play again: they go on.
    control_->button(1001)->click();
    QCOMPARE(control_->button(1001)->text(), QString("播放"));
    QTest::qWait(700);
    const int paused = video_->shownPictures();
    QTest::qWait(700);
    QVERIFY(video_->shownPictures() - paused <= 1);
    control_->button(1001)->click();
    QTRY_VERIFY_WITH_TIMEOUT(video_->shownPictures() > paused + 5, 10000);
    StopPlay();
  }

  void fastForwardPressesDoubleTheSpeedThenNormal() {
    SearchAll(0);
    search_->button(1001)->click();
    const char* wanted[] = {"快进 X2", "快进 X4", "快进 X8", "快进 X16", "正常 X1"};
    for (const char* text : wanted) {
      control_->button(1007)->click();
      control_->Refresh();
      QCOMPARE(control_->modeLabel()->text(), QString(text));
    }
    control_->button(1010)->click();
    control_->Refresh();
    QCOMPARE(control_->modeLabel()->text(), QString("慢放 X2"));
    control_->button(1024)->click();
    control_->Refresh();
    QCOMPARE(control_->modeLabel()->text(), QString("正常 X1"));
    StopPlay();
  }

  void sliderSeeksOnReleaseOnly() {
    SearchAll(0);
    search_->button(1001)->click();
    QTRY_VERIFY_WITH_TIMEOUT(video_->shownPictures() > 0, 15000);
    CVistorKorvex& v = app_->vistor();
    QSlider* s = control_->slider();
    s->setSliderDown(true);
    s->setSliderPosition(750);  // dragged: nothing sought, the timer leaves the thumb alone
    QTest::qWait(300);
    control_->Refresh();
    QCOMPARE(s->sliderPosition(), 750);
    QVERIFY(v.currentMs() / 1000 - v.fileStartS() < 15);
    s->setSliderDown(false);  // let go: the seek
    const int64_t want = v.fileStartS() + 750 * v.durationS() / 1000;
    QTRY_VERIFY_WITH_TIMEOUT(v.currentMs() / 1000 >= want, 5000);
    control_->Refresh();
    QVERIFY(s->value() >= 700);
    StopPlay();
  }

  void backupMessagesFilesAndProgress() {
    SearchAll(0);
    const QString out = dir_.filePath("backup");
    QDir().mkpath(out);
    search_->backupDir()->clear();
    {
      MessageCatcher box;
      search_->button(1002)->click();
      QCOMPARE(box.text, QString("请选择备份目录."));
    }
    search_->backupDir()->setText(out + "/");
    {
      MessageCatcher box;
      search_->button(1002)->click();
      QCOMPARE(box.text, QString("请勾选需要备份的文件."));
    }
    QVERIFY(QDir(out).entryList(QDir::Files).isEmpty());
    search_->results()->item(0, 0)->setCheckState(Qt::Checked);
    search_->results()->item(1, 0)->setCheckState(Qt::Checked);
    search_->button(1002)->click();
    QVERIFY(search_->backupTimer()->isActive());
    QTRY_COMPARE_WITH_TIMEOUT(search_->progress()->value(), 100, 60000);
    const QFileInfoList files = QDir(out).entryInfoList({"*.mp4"}, QDir::Files);
    QCOMPARE(files.size(), 2);
    for (const QFileInfo& f : files) QVERIFY(f.size() > 10000);
  }

  // Records that cannot be written (here: files may not grow past 4 KiB) leave no file, and the
  // window says which records failed and with what code once the progress reaches 100.
  void backupFailureIsShownAndLeavesNoFile() {
    SearchAll(0);
    const QString out = dir_.filePath("failing");
    QDir().mkpath(out);
    search_->backupDir()->setText(out);
    search_->results()->item(0, 0)->setCheckState(Qt::Checked);
    struct rlimit was {};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &was), 0);
    void (*oldHandler)(int) = std::signal(SIGXFSZ, SIG_IGN);  // the write fails instead
    struct rlimit small = was;
    small.rlim_cur = 4096;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    QString text;
    {
      MessageCatcher box;
      search_->button(1002)->click();
      QTRY_VERIFY_WITH_TIMEOUT(!box.text.isEmpty(), 60000);
      text = box.text;
    }
    setrlimit(RLIMIT_FSIZE, &was);
    std::signal(SIGXFSZ, oldHandler);
    QVERIFY2(text.startsWith(QString("1 个录像备份失败")), qPrintable(text));
    QVERIFY2(text.contains(QString("通道 ")) && text.contains(QString("错误 -")), qPrintable(text));
    QCOMPARE(search_->progress()->value(), 100);
    QVERIFY(QDir(out).entryList(QDir::Files | QDir::NoDotAndDotDot).isEmpty());
  }

  void recoveredPiecesAreListedPlayedAndBackedUp() {
    search_->recovered()->setChecked(true);
    SearchAll(search_->channels()->count() - 1);  // all channels
    QCOMPARE(search_->results()->rowCount(), 1);
    QCOMPARE(search_->results()->item(0, 1)->text(), QString("01"));
    QVERIFY2(search_->results()->item(0, 3)->text().endsWith("已恢复"),
             qPrintable(search_->results()->item(0, 3)->text()));
    QCOMPARE(search_->records()[0].operation, QVFS_OPERATION_RECOVERED);

    const int before = video_->shownPictures();
    search_->PlayRow(0);
    QTRY_VERIFY_WITH_TIMEOUT(video_->shownPictures() > before + 10, 15000);
    StopPlay();

    const QString out = dir_.filePath("recovered");
    QDir().mkpath(out);
    search_->backupDir()->setText(out);
    search_->results()->item(0, 0)->setCheckState(Qt::Checked);
    search_->button(1002)->click();
    QTRY_COMPARE_WITH_TIMEOUT(search_->progress()->value(), 100, 60000);
    const QFileInfoList files = QDir(out).entryInfoList({"*.mp4"}, QDir::Files);
    QCOMPARE(files.size(), 1);
    QVERIFY(files[0].size() > 10000);
    search_->recovered()->setChecked(false);
  }

  void gridLayoutsTilesInStepSoloAndAssignment() {
    CVistorDlg* main = app_->mainDialog();
    search_->startDate()->setDate(QDate(2026, 1, 5));
    main->layoutAction(4)->trigger();
    QVERIFY(main->gridShown());
    GridView* grid = main->grid();
    QCOMPARE(grid->day(), QDate(2026, 1, 5));
    QCOMPARE(grid->layout(), 4);
    QTRY_VERIFY_WITH_TIMEOUT(
        grid->tile(0)->shownPictures() > 5 && grid->tile(1)->shownPictures() > 5, 15000);
    QCOMPARE(grid->tile(0)->channel(), 0);
    QCOMPARE(grid->tile(1)->channel(), 1);
    QCOMPARE(grid->tile(2)->channel(), -1);  // the disk holds two channels
    QVERIFY(grid->tile(3)->isVisible());
    QVERIFY(!grid->tile(4)->isVisible());
    // In step: both pictures come from the same moment (the UI thread may be a frame behind).
    QVERIFY(std::llabs(grid->tile(0)->picturePts() - grid->tile(1)->picturePts()) <= 400);
    QVERIFY2(grid->tile(0)->TimeText().startsWith("2026-01-05 10:00:"),
             qPrintable(grid->tile(0)->TimeText()));

    main->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(main));
    QTest::keyClick(main, Qt::Key_9);
    QCOMPARE(grid->layout(), 9);
    QVERIFY(grid->tile(8)->isVisible());
    QTest::keyClick(main, Qt::Key_6);
    QCOMPARE(grid->layout(), 16);
    QVERIFY(grid->tile(15)->isVisible());
    QTest::keyClick(main, Qt::Key_1);
    QCOMPARE(grid->layout(), 1);
    QVERIFY(!grid->tile(1)->isVisible());
    main->layoutAction(4)->trigger();
    QCOMPARE(grid->layout(), 4);

    QTest::mouseDClick(grid->tile(1), Qt::LeftButton);
    QVERIFY(!grid->tile(0)->isVisible());
    QVERIFY(grid->tile(1)->isVisible());
    QTest::mouseDClick(grid->tile(1), Qt::LeftButton);
    QVERIFY(grid->tile(0)->isVisible());

    // The tile menu's choice: tile 2 plays channel 1 too.
    emit grid->tile(2)->channelChosen(2, 1);
    QTRY_VERIFY_WITH_TIMEOUT(
        grid->tile(2)->channel() == 1 && grid->tile(2)->shownPictures() > 0, 10000);
    emit grid->tile(2)->channelChosen(2, -1);
  }

  void gridModesTimelineSnapshotAndBackup() {
    GridView* grid = app_->mainDialog()->grid();
    CMultiVistor& m = app_->multiVistor();
    grid->button(GridView::kFast)->click();
    QCOMPARE(m.clock().mode(), 128);
    QCOMPARE(m.clock().speed(), 2);
    grid->button(GridView::kFast)->click();
    QCOMPARE(m.clock().speed(), 4);
    grid->Refresh();
    QCOMPARE(grid->modeLabel()->text(), QString("快进 X4"));
    grid->button(GridView::kNormal)->click();
    QCOMPARE(m.clock().mode(), 16);

    // Pause holds every tile.
    grid->button(GridView::kPlay)->click();
    QTest::qWait(400);
    const int held0 = grid->tile(0)->shownPictures(), held1 = grid->tile(1)->shownPictures();
    QTest::qWait(600);
    QCOMPARE(grid->tile(0)->shownPictures(), held0);
    QCOMPARE(grid->tile(1)->shownPictures(), held1);
    grid->Refresh();
    QCOMPARE(grid->modeLabel()->text(), QString("暂停 X1"));
    grid->button(GridView::kPlay)->click();

    // Single frames: the first press enters the mode, each further press steps every tile.
    grid->button(GridView::kSingle)->click();
    QCOMPARE(m.clock().mode(), 32);
    QTest::qWait(300);
    const int64_t before = m.clock().Now();
    grid->button(GridView::kSingle)->click();
    QCOMPARE(m.clock().Now(), before + player::PlayClock::kFrameIntervalMs);
    QTRY_VERIFY_WITH_TIMEOUT(m.view(0).lastPts == m.view(1).lastPts, 5000);
    grid->button(GridView::kNormal)->click();

    // A click on the timeline moves every tile there.
    TimelineWidget* timeline = grid->timeline();
    timeline->SetVisibleRange(kT0 - 5 * 60000, kT0 + 5 * 60000);
    const int64_t target = kT0 + 30000;
    QTest::mouseClick(timeline, Qt::LeftButton, {},
                      QPoint(timeline->XOfTime(target), timeline->SpanArea(0).center().y()));
    QVERIFY(std::llabs(m.clock().Now() - target) < 3000);
    QTRY_VERIFY_WITH_TIMEOUT(
        m.view(0).lastPts >= target - 1500 && m.view(1).lastPts >= target - 1500, 10000);

    // Four minutes in, nothing was recorded: the tiles say so.
    QTest::mouseClick(timeline, Qt::LeftButton, {},
                      QPoint(timeline->XOfTime(kT0 + 4 * 60000), timeline->SpanArea(0).center().y()));
    QTRY_VERIFY_WITH_TIMEOUT(!grid->tile(0)->recording() && !grid->tile(1)->recording(), 5000);

    const QString shot = grid->SaveSnapshot(dir_.path());
    QVERIFY2(QFileInfo(shot).fileName().startsWith("grid_20260105_100"), qPrintable(shot));
    QCOMPARE(QImage(shot).size(), grid->tileArea()->size());
    const QString tileShot = grid->SaveSnapshot(dir_.path(), 1);
    QVERIFY2(QFileInfo(tileShot).fileName().startsWith("CH01_20260105_100"), qPrintable(tileShot));

    // The backup of the timeline's range: one file per channel shown and recording.
    const QString out = dir_.filePath("grid-backup");
    QDir().mkpath(out);
    search_->backupDir()->setText(out);
    grid->button(GridView::kBackup)->click();
    QTRY_COMPARE_WITH_TIMEOUT(search_->progress()->value(), 100, 60000);
    QCOMPARE(QDir(out).entryInfoList({"*.mp4"}, QDir::Files).size(), 2);

    app_->mainDialog()->layoutAction(0)->trigger();
    QVERIFY(!app_->mainDialog()->gridShown());

    // The search window's calendar marks the days with recordings (5, 6 and 7 January).
    QCalendarWidget* calendar = search_->startDate()->calendarWidget();
    calendar->setCurrentPage(2026, 1);
    for (int day : {5, 6, 7})
      QCOMPARE(calendar->dateTextFormat(QDate(2026, 1, day)).fontWeight(), int(QFont::Bold));
    QVERIFY(calendar->dateTextFormat(QDate(2026, 1, 8)).fontWeight() != QFont::Bold);
  }
};

int main(int argc, char** argv) {
  // The tool's path comes first; the rest goes to Qt Test.
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s /path/to/stfsctl [Qt Test options]\n", argv[0]);
    return 2;
  }
  g_stfsctl = QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath();
  for (int i = 1; i + 1 < argc; ++i) argv[i] = argv[i + 1];
  --argc;
  QApplication app(argc, argv);
  PlayerUiTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "player_ui_test.moc"
