#include "search_dialog.h"

#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMenu>
#include <QMessageBox>
#include <QTextCharFormat>
#include <QCoreApplication>
#include <QThread>
#include <QVBoxLayout>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "control_ids.h"
#include "index/record_search.h"
#include "playctrl_dialog.h"
#include "player_app.h"
#include "qvfs/qvfs.h"
#include "search_rows.h"

namespace {

enum ControlId {
  kCancel = 2,
  kPlay = 1001,
  kBackup = 1002,
  kResults = 1005,
  kDisks = 1006,
  kScan = 1007,
  kBackupDir = 1009,
  kChoose = 1010,
  kCheckAll = 1011,
  kJoin = 1017,
  kAllTimes = 1020,
  kProgress = 1021,
  kEndDate = 1089,
  kStartDate = 1092,
  kSearch = 1096,
  kStartTime = 1104,
  kEndTime = 1105,
  kOpenImage = 1200,
  kChannels = 1201,
  kSources = 1202,
};

constexpr int kDiskInfoBytes = 4096;               // 100 bytes a disk
constexpr int kBackupMp4 = 1;
constexpr int64_t kRecordingGapMs = 5000;  // segments further apart are separate recordings
constexpr int kErrNoSpace = -4001;
constexpr int kErrNoDestination = -4000;
constexpr int kErrBackupRunning = -98;

}  // namespace

CSearchRecDlg::CSearchRecDlg(CVistorApp* app) : app_(app) {
  setWindowTitle(QStringLiteral("录像检索"));
  setWindowFlag(Qt::Window);
  auto* grid = new QGridLayout(this);
  int row = 0;

  disks_ = new QComboBox(this);
  disks_->setObjectName(ControlName(kDisks));
  disks_->setMinimumWidth(260);
  grid->addWidget(new QLabel(QStringLiteral("磁盘:"), this), row, 0);
  grid->addWidget(disks_, row, 1, 1, 2);
  QPushButton* scan = AddButton(kScan, QStringLiteral("扫描磁盘"));
  grid->addWidget(scan, row, 3);
  QPushButton* open = AddButton(kOpenImage, QStringLiteral("打开镜像…"));
  auto* openMenu = new QMenu(open);
  openMenu->addAction(QStringLiteral("磁盘镜像文件…"), this, &CSearchRecDlg::OpenImage);
  openMenu->addAction(QStringLiteral("录像盘文件夹…"), this, &CSearchRecDlg::OpenFolder);
  open->setMenu(openMenu);
  grid->addWidget(open, row++, 4);

  channels_ = new QComboBox(this);
  channels_->setObjectName(ControlName(kChannels));
  grid->addWidget(new QLabel(QStringLiteral("通道:"), this), row, 0);
  grid->addWidget(channels_, row, 1);
  sources_ = new QComboBox(this);
  sources_->setObjectName(ControlName(kSources));
  sources_->addItem(QStringLiteral("主码流"), 0);
  sources_->addItem(QStringLiteral("子码流"), 1);
  sourceLabel_ = new QLabel(QStringLiteral("码流:"), this);
  grid->addWidget(sourceLabel_, row, 2);
  grid->addWidget(sources_, row++, 3);

  auto dateTime = [&](QDateEdit** date, QTimeEdit** time, int dateId, int timeId,
                      const QString& label) {
    *date = new QDateEdit(QDate::currentDate(), this);
    (*date)->setObjectName(ControlName(dateId));
    (*date)->setCalendarPopup(true);
    (*date)->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
    *time = new QTimeEdit(this);
    (*time)->setObjectName(ControlName(timeId));
    (*time)->setDisplayFormat(QStringLiteral("HH:mm:ss"));
    grid->addWidget(new QLabel(label, this), row, 0);
    grid->addWidget(*date, row, 1);
    grid->addWidget(*time, row++, 2);
  };
  dateTime(&startDate_, &startTime_, kStartDate, kStartTime, QStringLiteral("开始时间："));
  dateTime(&endDate_, &endTime_, kEndDate, kEndTime, QStringLiteral("结束时间："));
  // The calendars mark the days that hold recordings, month by month as they are turned.
  for (QDateEdit* d : {startDate_, endDate_}) {
    QCalendarWidget* c = d->calendarWidget();
    connect(c, &QCalendarWidget::currentPageChanged, this,
            [c](int year, int month) { MarkRecordedDays(c, year, month); });
  }

  allTimes_ = new QCheckBox(QStringLiteral("所有时间段"), this);
  allTimes_->setObjectName(ControlName(kAllTimes));
  joinTimes_ = new QCheckBox(QStringLiteral("拼接时间"), this);
  joinTimes_->setObjectName(ControlName(kJoin));
  joinTimes_->hide();
  // Recovered: the search lists what the disk's index no longer shows, found by a scan of the
  // chosen disk's record files (it only reads).
  recovered_ = new QCheckBox(QStringLiteral("已恢复"), this);
  recovered_->setObjectName(QStringLiteral("recovered"));
  recovered_->setToolTip(QStringLiteral("列出索引中已没有的录像（已删除、被覆盖后剩余的部分等）"));
  grid->addWidget(allTimes_, row, 1);
  grid->addWidget(recovered_, row, 2);
  grid->addWidget(joinTimes_, row, 2);
  grid->addWidget(AddButton(kSearch, QStringLiteral("搜索录像")), row++, 3);

  backupDir_ = new QLineEdit(this);
  backupDir_->setObjectName(ControlName(kBackupDir));
  grid->addWidget(new QLabel(QStringLiteral("备份路径:"), this), row, 0);
  grid->addWidget(backupDir_, row, 1, 1, 2);
  grid->addWidget(AddButton(kChoose, QStringLiteral("选择")), row++, 3);

  status_ = new QLabel(this);
  status_->setObjectName(QStringLiteral("status"));
  status_->setWordWrap(true);
  grid->addWidget(status_, row++, 0, 1, 5);

  results_ = new QTableWidget(0, 4, this);
  results_->setObjectName(ControlName(kResults));
  results_->setHorizontalHeaderLabels({QStringLiteral("编号"), QStringLiteral("CH"),
                                       QStringLiteral("大小"), QStringLiteral("时间段")});
  results_->verticalHeader()->hide();
  results_->setSelectionBehavior(QAbstractItemView::SelectRows);
  results_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  results_->setShowGrid(true);
  const int widths[] = {45, 30, 80, 220};
  for (int c = 0; c < 4; ++c) results_->setColumnWidth(c, widths[c]);
  results_->setColumnWidth(0, 45 + 20);  // room for the check box
  results_->horizontalHeader()->setStretchLastSection(true);
  results_->setMinimumHeight(220);
  grid->addWidget(results_, row++, 0, 1, 5);

  auto* buttons = new QHBoxLayout;
  checkAll_ = new QCheckBox(QStringLiteral("全选"), this);
  checkAll_->setObjectName(ControlName(kCheckAll));
  buttons->addWidget(AddButton(kPlay, QStringLiteral("播放")));
  buttons->addWidget(checkAll_);
  buttons->addWidget(AddButton(kBackup, QStringLiteral("备份")));
  progress_ = new QProgressBar(this);
  progress_->setObjectName(ControlName(kProgress));
  buttons->addWidget(progress_, 1);
  QPushButton* cancel = AddButton(kCancel, QStringLiteral("取消"));
  cancel->hide();
  buttons->addWidget(cancel);
  grid->addLayout(buttons, row++, 0, 1, 5);

  connect(scan, &QPushButton::clicked, this, &CSearchRecDlg::ScanDisks);
  connect(button(kSearch), &QPushButton::clicked, this, &CSearchRecDlg::Search);
  connect(button(kChoose), &QPushButton::clicked, this, &CSearchRecDlg::ChooseBackupDir);
  connect(button(kPlay), &QPushButton::clicked, this, &CSearchRecDlg::PlayResults);
  connect(button(kBackup), &QPushButton::clicked, this, &CSearchRecDlg::Backup);
  connect(cancel, &QPushButton::clicked, this, &QWidget::close);
  connect(checkAll_, &QCheckBox::toggled, this, &CSearchRecDlg::CheckAllRows);
  connect(results_, &QTableWidget::cellDoubleClicked, this, [this](int r, int) { PlayRow(r); });
  backupTimer_.setInterval(1000);
  backupTimer_.setObjectName(QString::number(kBackupTimerId));
  connect(&backupTimer_, &QTimer::timeout, this, &CSearchRecDlg::UpdateBackupProgress);
  resize(680, 560);
}

QPushButton* CSearchRecDlg::AddButton(int id, const QString& text) {
  return AddIdButton(this, id, text);
}

QPushButton* CSearchRecDlg::button(int id) const { return FindIdButton(this, id); }

void CSearchRecDlg::Start() {
  startTime_->setTime(QTime::fromString(QStringLiteral("00:00:00"), QStringLiteral("HH:mm:ss")));
  endTime_->setTime(QTime::fromString(QStringLiteral("23:59:59"), QStringLiteral("HH:mm:ss")));
  progress_->setRange(0, 100);
  progress_->setValue(0);
  app_->InitStorage();
  FillDisks();
  app_->decodeThreads().Start(1);
}

void CSearchRecDlg::Warn(const QString& text) { QMessageBox::warning(this, windowTitle(), text); }

QString CSearchRecDlg::NoDiskReason() const {
  QStringList denied;
  for (int n = 0;; ++n) {
    QVFS_DriveInfo d{};
    if (QVFS_GetDriveInfo(n, &d) != 0) break;
    if (d.openError == EACCES || d.openError == EPERM) denied << QString::fromLocal8Bit(d.path);
  }
  QString text = QStringLiteral(
      "没有找到录像盘。请接上录像机的硬盘或存储卡后点击“扫描磁盘”，"
      "或用“打开镜像…”打开磁盘镜像或录像盘文件夹。");
  if (!denied.isEmpty())
    text += QStringLiteral("\n没有权限打开：%1（请用 root 运行，或把用户加入 disk 组）。")
                .arg(denied.join(QStringLiteral("、")));
  return text;
}

void CSearchRecDlg::MarkRecordedDays(QCalendarWidget* calendar, int year, int month) {
  const QDate first(year, month, 1);
  if (!first.isValid()) return;
  const int days = QVFS_SearchRecordDayOfMonth(year, month, 0);
  QTextCharFormat recorded;
  recorded.setFontWeight(QFont::Bold);
  recorded.setBackground(QColor(170, 220, 170));
  recorded.setToolTip(QStringLiteral("有录像"));
  for (int d = 1; d <= first.daysInMonth(); ++d)
    calendar->setDateTextFormat(QDate(year, month, d),
                                days & (1 << (d - 1)) ? recorded : QTextCharFormat());
}

void CSearchRecDlg::MarkRecordedDays() {
  for (QDateEdit* d : {startDate_, endDate_}) {
    QCalendarWidget* c = d->calendarWidget();
    MarkRecordedDays(c, c->yearShown(), c->monthShown());
  }
}

void CSearchRecDlg::FillDisks() {
  std::vector<uint8_t> buffer(kDiskInfoBytes);
  const int n = QVFS_GetDiskInfo(buffer.data(), kDiskInfoBytes);
  diskCount_ = n > 0 ? std::min<int>(n, kDiskInfoBytes / sizeof(DiskInfo)) : 0;
  disks_->clear();
  for (int i = 0; i < diskCount_; ++i) {
    DiskInfo d;
    std::memcpy(&d, buffer.data() + static_cast<size_t>(i) * sizeof d, sizeof d);
    const int32_t total = d.totalMB;
    const QString path =
        QString::fromLocal8Bit(d.devicePath, static_cast<int>(strnlen(d.devicePath, sizeof d.devicePath)));
    disks_->addItem(QStringLiteral("%1 %2 (%3 MB)")
                        .arg(path, QString::fromLocal8Bit(d.deviceText).trimmed())
                        .arg(total),
                    path);
  }
  if (diskCount_ > 0) disks_->setCurrentIndex(0);
  // The sub stream has a disk set of its own: the choice shows when a second disk is there.
  sources_->setVisible(diskCount_ > 1);
  sourceLabel_->setVisible(diskCount_ > 1);
  QStringList notes = app_->startupErrors();
  if (diskCount_ == 0) notes << NoDiskReason();
  status_->setText(notes.join('\n'));
  FillChannels();
}

void CSearchRecDlg::FillChannels() {
  const int source = !sources_->isHidden() ? sources_->currentData().toInt() : 0;
  const std::set<int> held = ChannelsOf(SearchPlayList(0, 2147483647, -1, source));
  channels_->clear();
  for (int c : held) channels_->addItem(QString::asprintf("CH%02d", c), c);
  channels_->addItem(QStringLiteral("所有通道"), kAllChannels);
  channels_->setCurrentIndex(0);
}

void CSearchRecDlg::ScanDisks() {
  QVFS_ScanDisksForSearch(32);
  FillDisks();
  MarkRecordedDays();
}

void CSearchRecDlg::OpenImage() {
  const QString path = QFileDialog::getOpenFileName(
      this, QStringLiteral("打开镜像…"), QString(),
      QStringLiteral("磁盘镜像 (*.img *.bin *.dd *.raw);;所有文件 (*)"));
  if (path.isEmpty()) return;
  const QString error = CVistorApp::AddDiskSource(path);
  if (!error.isEmpty()) Warn(error);
  FillDisks();
}

void CSearchRecDlg::OpenFolder() {
  const QString path = QFileDialog::getExistingDirectory(this, QStringLiteral("录像盘文件夹"));
  if (path.isEmpty()) return;
  const QString error = CVistorApp::AddDiskSource(path);
  if (!error.isEmpty()) Warn(error);
  FillDisks();
}

void CSearchRecDlg::Search() {
  int64_t start = 0, end = 0;
  SearchRange(allTimes_->isChecked(), startDate_->date(), startTime_->time(), endDate_->date(),
              endTime_->time(), &start, &end);
  const int channel = channels_->count() ? channels_->currentData().toInt() : kAllChannels;
  const int32_t mask = channel == kAllChannels ? -1 : static_cast<int32_t>(1u << channel);
  const int source = !sources_->isHidden() ? sources_->currentData().toInt() : 0;
  // A recording is kept as a run of segment records of one file: it is listed, played and
  // backed up as one record, and the list is in start-time order for play.
  if (recovered_->isChecked()) records_ = SearchRecovered(start, end, static_cast<uint32_t>(mask));
  else records_ = MergeSegmentRuns(SearchPlayList(start, end, mask, source), kRecordingGapMs);
  FillResults();
  if (records_.empty()) {
    status_->setText(diskCount_ > 0 ? QStringLiteral("这段时间内没有录像。") : NoDiskReason());
    return;  // the play list stays as it was
  }
  status_->setText(QStringLiteral("找到 %1 段录像。").arg(records_.size()));
  app_->playList().Set(records_);
}

namespace {
void ScanProgress(uint64_t done, uint64_t total, void* user) {
  auto* bar = static_cast<QProgressBar*>(user);
  bar->setValue(total ? static_cast<int>(done * 100 / total) : 0);
  // The scan runs on this thread: the window is repainted, no input is taken meanwhile.
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}
}  // namespace

std::vector<_rec_file_info_> CSearchRecDlg::SearchRecovered(int64_t start, int64_t end,
                                                            uint32_t mask) {
  std::vector<_rec_file_info_> out;
  const QString drive = disks_->currentData().toString();
  if (drive.isEmpty()) return out;
  status_->setText(QStringLiteral("正在扫描录像盘，查找索引中已没有的录像…"));
  std::vector<RecoveredPiece> pieces(kMaxRecoveredPieces);
  const int n = QVFS_RecoverScan(drive.toLocal8Bit().constData(), pieces.data(),
                                 static_cast<int>(pieces.size() * sizeof pieces[0]), mask,
                                 std::max<int64_t>(start, 0), std::min<int64_t>(end, 4294967295),
                                 &ScanProgress, progress_);
  progress_->setValue(0);
  for (int i = 0; i < std::min(n, kMaxRecoveredPieces); ++i) {
    _rec_file_info_ r{};
    if (QVFS_RecoveredRecord(&pieces[static_cast<size_t>(i)], &r) == 0) out.push_back(r);
  }
  std::stable_sort(out.begin(), out.end(), [](const _rec_file_info_& a, const _rec_file_info_& b) {
    return int64_t{a.startMs} < int64_t{b.startMs};
  });
  return out;
}

void CSearchRecDlg::FillResults() {
  results_->setRowCount(0);
  checkAll_->blockSignals(true);
  checkAll_->setChecked(false);
  checkAll_->blockSignals(false);
  results_->setRowCount(static_cast<int>(records_.size()));
  for (int i = 0; i < static_cast<int>(records_.size()); ++i) {
    const ResultRowTexts t = FormatResultRow(i, records_[static_cast<size_t>(i)]);
    auto* number = new QTableWidgetItem(t.number);
    number->setFlags(number->flags() | Qt::ItemIsUserCheckable);
    number->setCheckState(Qt::Unchecked);
    number->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    auto* channel = new QTableWidgetItem(t.channel);
    channel->setTextAlignment(Qt::AlignCenter);
    auto* size = new QTableWidgetItem(t.size);
    size->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    const bool recovered = records_[static_cast<size_t>(i)].operation == QVFS_OPERATION_RECOVERED;
    auto* period = new QTableWidgetItem(recovered ? t.period + QStringLiteral("  已恢复") : t.period);
    period->setTextAlignment(Qt::AlignCenter);
    results_->setItem(i, 0, number);
    results_->setItem(i, 1, channel);
    results_->setItem(i, 2, size);
    results_->setItem(i, 3, period);
  }
}

void CSearchRecDlg::CheckAllRows(bool checked) {
  for (int i = 0; i < results_->rowCount(); ++i)
    if (QTableWidgetItem* item = results_->item(i, 0))
      item->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
}

void CSearchRecDlg::PlayResults() {
  CDlgPlayctrl* p = app_->playControl();
  if (!records_.empty()) {
    app_->playList().Set(records_);
    if (p && !p->playing()) p->SetStartPosition(0);  // the new list plays from its start
  }
  if (p) p->PlayPause();
}

void CSearchRecDlg::PlayRow(int row) {
  if (row < 0 || row >= static_cast<int>(records_.size())) return;
  CVistorKorvex& v = app_->vistor();
  setEnabled(false);
  if (v.ThreadRunning()) {
    QThread::msleep(100);
    v.OpenEntry(row);
  } else {
    v.Play(row);
  }
  if (CDlgPlayctrl* p = app_->playControl()) p->NotePlaying(row);
  setEnabled(true);
}

void CSearchRecDlg::ChooseBackupDir() {
  const QString dir =
      QFileDialog::getExistingDirectory(this, QStringLiteral("备份目录"), backupDir_->text());
  if (!dir.isEmpty()) backupDir_->setText(dir);
}

void CSearchRecDlg::Backup() {
  QString dir = backupDir_->text().trimmed();
  if (dir.isEmpty()) {
    Warn(QStringLiteral("请选择备份目录."));
    return;
  }
  std::vector<_rec_file_info_> checked;
  for (int i = 0; i < results_->rowCount() && i < static_cast<int>(records_.size()); ++i) {
    QTableWidgetItem* item = results_->item(i, 0);
    if (item && item->checkState() == Qt::Checked)
      checked.push_back(records_[static_cast<size_t>(i)]);
  }
  if (checked.empty()) {
    Warn(QStringLiteral("请勾选需要备份的文件."));
    return;
  }
  const QString error = BackupRecords(checked);
  if (!error.isEmpty()) Warn(error);
}

QString CSearchRecDlg::BackupRecords(const std::vector<_rec_file_info_>& list) {
  QString dir = backupDir_->text().trimmed();
  if (dir.isEmpty()) return QStringLiteral("请选择备份目录.");
  if (list.empty()) return QStringLiteral("没有需要备份的录像.");
  while (dir.size() > 1 && dir.endsWith('/')) dir.chop(1);
  const std::string path = dir.toStdString();
  std::vector<_rec_file_info_> copy = list;
  const int r = QVFS_BackupSrcLstStart(copy.data(), static_cast<int>(copy.size()), kBackupMp4,
                                       path.c_str());
  if (r == kErrNoSpace) return QStringLiteral("磁盘空间不够，请清理该目录或者重新选择路径！.");
  if (r == kErrNoDestination) return QStringLiteral("备份目录不存在，请重新选择路径.");
  if (r == kErrBackupRunning) return QStringLiteral("正在备份，请等这次备份完成.");
  if (r < 0) return QStringLiteral("备份没有开始（错误 %1）.").arg(r);
  backupList_ = list;
  progress_->setValue(0);
  backupTimer_.start();
  return QString();
}

void CSearchRecDlg::UpdateBackupProgress() {
  const int p = QVFS_BackupGetProgress();
  progress_->setValue(p < 0 ? 0 : (p > 100 ? 100 : p));
  if (p < 100) return;
  backupTimer_.stop();
  // A record that failed left no file: say which, so that nobody takes the folder for whole.
  const int failed = QVFS_BackupGetFailures(nullptr, nullptr, 0);
  if (failed <= 0) return;
  std::vector<int> positions(static_cast<size_t>(failed)), codes(static_cast<size_t>(failed));
  const int n = QVFS_BackupGetFailures(positions.data(), codes.data(), failed);
  positions.resize(static_cast<size_t>(std::min(n, failed)));
  codes.resize(positions.size());
  Warn(BackupFailureText(backupList_, positions, codes, n));
}
