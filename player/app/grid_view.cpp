#include "grid_view.h"

#include <QDateTime>
#include <QDir>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QStandardPaths>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "control_ids.h"
#include "player/base_vistor.h"
#include "player/multi_vistor.h"
#include "player_app.h"
#include "qvfs/qvfs.h"
#include "search_dialog.h"
#include "search_rows.h"
#include "tile_widget.h"
#include "timeline_widget.h"

namespace {

constexpr int32_t kAllChannels = -1;  // the channel mask of every channel
constexpr int kMaxDaySpans = 4096;    // days with recordings looked at for the first one

int64_t LocalMidnightMs(const QDate& day) {
  return QDateTime(day, QTime(0, 0)).toMSecsSinceEpoch();
}

}  // namespace

GridView::GridView(CVistorApp* app, QWidget* parent) : QWidget(parent), app_(app) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  tileArea_ = new QWidget(this);
  tileArea_->setObjectName(QStringLiteral("tiles"));
  grid_ = new QGridLayout(tileArea_);
  grid_->setContentsMargins(0, 0, 0, 0);
  grid_->setSpacing(2);
  for (int n = 0; n < kTiles; ++n) {
    TileWidget* t = new TileWidget(n, tileArea_);
    tiles_[static_cast<size_t>(n)] = t;
    connect(t, &TileWidget::doubleClicked, this, &GridView::ToggleSolo);
    connect(t, &TileWidget::channelChosen, this, &GridView::OnChannelChosen);
    connect(t, &TileWidget::snapshotWanted, this, &GridView::OnSnapshotWanted);
    player().SetSurface(n, t);
  }
  layout->addWidget(tileArea_, 1);

  auto* row = new QHBoxLayout;
  auto add = [&](int id, const char* text) {
    QPushButton* b = AddIdButton(this, id, QString::fromUtf8(text));
    row->addWidget(b);
    return b;
  };
  connect(add(kPlay, "暂停"), &QPushButton::clicked, this, &GridView::PlayPause);
  connect(add(kSlow, "慢放"), &QPushButton::clicked, this, [this] { player().Slow(); });
  connect(add(kFast, "快进"), &QPushButton::clicked, this, [this] { player().FastForward(); });
  connect(add(kBack, "快退"), &QPushButton::clicked, this, [this] { player().FastBackward(); });
  connect(add(kSingle, "单帧"), &QPushButton::clicked, this, &GridView::SingleFrame);
  connect(add(kNormal, "正常"), &QPushButton::clicked, this, [this] {
    paused_ = false;
    button(kPlay)->setText(QStringLiteral("暂停"));
    player().Normal();
  });
  connect(add(kSnapshot, "抓图"), &QPushButton::clicked, this, [this] { OnSnapshotWanted(-1); });
  connect(add(kBackup, "备份"), &QPushButton::clicked, this, [this] {
    const QString error = BackupVisibleRange();
    modeText_->setText(error.isEmpty() ? QStringLiteral("备份开始") : error);
  });
  row->addStretch(1);
  timeText_ = new QLabel(this);
  timeText_->setObjectName(QStringLiteral("gridTime"));
  modeText_ = new QLabel(this);
  modeText_->setObjectName(QStringLiteral("gridMode"));
  row->addWidget(timeText_);
  row->addWidget(modeText_);
  layout->addLayout(row);

  timeline_ = new TimelineWidget(this);
  timeline_->setObjectName(QStringLiteral("timeline"));
  layout->addWidget(timeline_);
  connect(timeline_, &TimelineWidget::seekRequested, this,
          [this](int64_t ms) { player().Seek(ms); });

  Relayout();
  timer_.setInterval(kRefreshMs);
  connect(&timer_, &QTimer::timeout, this, &GridView::Refresh);
}

GridView::~GridView() {
  // The decode threads paint into the tiles: they end before the tiles go.
  player().Stop();
  for (int n = 0; n < kTiles; ++n) player().SetSurface(n, nullptr);
}

CMultiVistor& GridView::player() { return app_->multiVistor(); }

QPushButton* GridView::button(int id) const { return FindIdButton(this, id); }

QDate GridView::DefaultDay(const QDate& wanted) {
  if (wanted.isValid() &&
      QVFS_SearchRecordDayOfMonth(wanted.year(), wanted.month(), 0) & (1 << (wanted.day() - 1)))
    return wanted;
  std::vector<int64_t> spans(2 * kMaxDaySpans);
  const int n = QVFS_SearchRecordAllDayEx(spans.data(), static_cast<int>(spans.size() * 8));
  if (n > 0) return QDateTime::fromSecsSinceEpoch(spans[0]).date();
  return QDate::currentDate();
}

int GridView::LoadDay(const QDate& day) {
  day_ = day;
  const int64_t start = LocalMidnightMs(day), end = LocalMidnightMs(day.addDays(1));
  records_ = SearchPlayList(start / 1000, end / 1000 - 1, kAllChannels, 0);
  CMultiVistor& p = player();
  p.Stop();
  p.SetRecords(records_);
  p.AssignDefault();
  const std::vector<int> channels = p.Channels();
  for (TileWidget* t : tiles_) t->SetChoices(channels);
  timeline_->SetDay(start, end);
  BuildTimeline();
  int64_t first = 0, last = 0;
  p.Span(&first, &last);
  paused_ = false;
  button(kPlay)->setText(QStringLiteral("暂停"));
  if (!records_.empty()) p.Play(std::max(first, start));
  timer_.start();
  Refresh();
  return static_cast<int>(records_.size());
}

void GridView::BuildTimeline() {
  std::vector<TimelineRow> rows;
  for (int ch : player().Channels()) {
    TimelineRow row{ch, TileWidget::ChannelName(ch), {}};
    for (const _rec_file_info_& r : records_)
      if (r.channel == ch) row.spans.push_back({r.startMs, r.endMs, r.typeBits});
    rows.push_back(std::move(row));
  }
  timeline_->SetRows(rows);
  timeline_->updateGeometry();
}

void GridView::SetLayout(int tiles) {
  if (!player().SetLayout(tiles)) return;
  Relayout();
}

int GridView::layout() const { return app_->multiVistor().layout(); }

void GridView::ToggleSolo(int tile) {
  CMultiVistor& p = player();
  p.SetSolo(p.solo() >= 0 ? -1 : tile);
  Relayout();
}

void GridView::Stop() {
  timer_.stop();
  player().Stop();
}

void GridView::Relayout() {
  CMultiVistor& p = player();
  const int solo = p.solo();
  const int count = solo >= 0 ? 1 : p.layout();
  const int columns = static_cast<int>(std::lround(std::sqrt(count)));
  for (TileWidget* t : tiles_) grid_->removeWidget(t);
  int placed = 0;
  for (int n = 0; n < kTiles; ++n) {
    TileWidget* t = tiles_[static_cast<size_t>(n)];
    if (!p.TileShown(n)) {
      t->hide();
      continue;
    }
    grid_->addWidget(t, placed / columns, placed % columns);
    ++placed;
    t->show();
  }
}

void GridView::Refresh() {
  CMultiVistor& p = player();
  for (int n = 0; n < kTiles; ++n) {
    const CMultiVistor::TileView v = p.view(n);
    tiles_[static_cast<size_t>(n)]->SetState(v.channel, v.recording);
  }
  const int64_t now = p.clock().Now();
  timeline_->SetPosition(now);
  timeText_->setText(
      QDateTime::fromMSecsSinceEpoch(now).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
  const int mode = paused_ ? kModePause : p.clock().mode();
  modeText_->setText(QStringLiteral("%1 X%2").arg(QString::fromUtf8(CBaseVistor::ModeName(mode)))
                         .arg(p.clock().speed()));
}

void GridView::OnChannelChosen(int tile, int channel) {
  player().AssignChannel(tile, channel);
  Refresh();
}

void GridView::PlayPause() {
  paused_ = !paused_;
  if (paused_) player().Pause();
  else player().Resume();
  button(kPlay)->setText(paused_ ? QStringLiteral("播放") : QStringLiteral("暂停"));
}

void GridView::SingleFrame() {
  // The first press enters single-frame play; every press after it steps one frame.
  if (player().clock().mode() == kModeSingle) player().StepFrame();
  else player().SingleFrame();
}

QString GridView::SnapshotDir() const {
  if (CSearchRecDlg* s = app_->searchDialog()) {
    const QString dir = s->backupDir()->text().trimmed();
    if (!dir.isEmpty()) return dir;
  }
  const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
  return pictures.isEmpty() ? QDir::homePath() : pictures;
}

void GridView::OnSnapshotWanted(int tile) {
  const QString path = SaveSnapshot(SnapshotDir(), tile);
  modeText_->setText(path.isEmpty() ? QStringLiteral("抓图失败") : QStringLiteral("抓图：%1").arg(path));
}

QString GridView::SaveSnapshot(const QString& dir, int tile) {
  const int solo = player().solo();
  if (tile < 0 && solo >= 0) tile = solo;
  const QString when = QDateTime::fromMSecsSinceEpoch(player().clock().Now())
                           .toString(QStringLiteral("yyyyMMdd_HHmmss"));
  QWidget* what = tileArea_;
  QString name = QStringLiteral("grid_%1.png").arg(when);
  if (tile >= 0 && tile < kTiles) {
    TileWidget* t = tiles_[static_cast<size_t>(tile)];
    what = t;
    name = QStringLiteral("%1_%2.png").arg(TileWidget::ChannelName(t->channel()), when);
  }
  const QString path = QDir(dir).filePath(name);
  return what->grab().save(path, "PNG") ? path : QString();
}

QString GridView::BackupVisibleRange() {
  CSearchRecDlg* search = app_->searchDialog();
  if (!search) return QStringLiteral("没有检索窗口.");
  const int64_t from = timeline_->visibleStartMs(), to = timeline_->visibleEndMs();
  CMultiVistor& p = player();
  std::vector<int> shown;
  for (int n = 0; n < kTiles; ++n)
    if (p.TileShown(n) && p.view(n).channel >= 0) shown.push_back(p.view(n).channel);
  std::vector<_rec_file_info_> list;
  for (_rec_file_info_ r : records_) {
    if (std::find(shown.begin(), shown.end(), r.channel) == shown.end()) continue;
    if (int64_t{r.endMs} < from || int64_t{r.startMs} > to) continue;
    // The part inside the range: the backup engine starts and stops at the record's times.
    r.startMs = std::max(int64_t{r.startMs}, from);
    r.endMs = std::min(int64_t{r.endMs}, to);
    list.push_back(r);
  }
  if (list.empty()) return QStringLiteral("时间轴显示的范围内没有录像.");
  return search->BackupRecords(list);
}
