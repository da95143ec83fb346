#include "main_dialog.h"

#include <QAction>
#include <algorithm>
#include <QActionGroup>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QStackedWidget>
#include <QStyle>
#include <QToolBar>
#include <QVBoxLayout>

#include "control_ids.h"
#include "grid_view.h"
#include "playctrl_dialog.h"
#include "player_app.h"
#include "search_dialog.h"
#include "video_widget.h"

namespace {
// The view choices: 0 the single channel, else the grid's tile count, with their keys.
struct ViewChoice {
  int tiles;
  const char* text;
  Qt::Key key;
};
constexpr ViewChoice kViews[] = {
    {0, "单通道", Qt::Key_0}, {1, "1画面", Qt::Key_1},  {4, "4画面", Qt::Key_4},
    {9, "9画面", Qt::Key_9},  {16, "16画面", Qt::Key_6},
};
}  // namespace

CVistorDlg::CVistorDlg(CVistorApp* app) : app_(app) {
  setWindowTitle(QStringLiteral("STFS 录像播放器"));
  setWindowIcon(style()->standardIcon(QStyle::SP_MediaPlay));
  pages_ = new QStackedWidget(this);
  singlePage_ = new QWidget(pages_);
  auto* layout = new QVBoxLayout(singlePage_);
  layout->setContentsMargins(0, 0, 0, 4);
  video_ = new VideoWidget(singlePage_);
  layout->addWidget(video_, 1);
  control_ = AddIdButton(singlePage_, kIdControl, QStringLiteral("控制"));
  layout->addWidget(control_, 0, Qt::AlignRight);
  pages_->addWidget(singlePage_);
  grid_ = new GridView(app_, pages_);
  pages_->addWidget(grid_);
  setCentralWidget(pages_);
  connect(control_, &QPushButton::clicked, this, &CVistorDlg::ShowPlayControl);

  AddViewActions();
  QMenu* help = menuBar()->addMenu(QStringLiteral("帮助(&H)"));
  help->addAction(QStringLiteral("关于 STFS 录像播放器(&A)..."), this, &CVistorDlg::ShowAbout);
  resize(640, 400);
}

void CVistorDlg::AddViewActions() {
  QMenu* menu = menuBar()->addMenu(QStringLiteral("画面(&V)"));
  QToolBar* bar = addToolBar(QStringLiteral("画面"));
  bar->setObjectName(QStringLiteral("viewBar"));
  auto* group = new QActionGroup(this);
  for (const ViewChoice& v : kViews) {
    QAction* a = new QAction(QString::fromUtf8(v.text), this);
    a->setObjectName(QStringLiteral("view%1").arg(v.tiles));
    a->setCheckable(true);
    a->setShortcut(QKeySequence(v.key));
    a->setChecked(v.tiles == 0);
    group->addAction(a);
    menu->addAction(a);
    bar->addAction(a);
    const int tiles = v.tiles;
    connect(a, &QAction::triggered, this, [this, tiles] {
      if (tiles == 0) ShowSingle();
      else ShowGrid(tiles);
    });
  }
}

QAction* CVistorDlg::layoutAction(int tiles) const {
  return findChild<QAction*>(QStringLiteral("view%1").arg(tiles));
}

bool CVistorDlg::gridShown() const { return pages_->currentWidget() == grid_; }

void CVistorDlg::ShowGrid(int tiles) {
  if (!gridShown()) {
    // One player at a time: the single channel stops while the grid plays.
    if (CDlgPlayctrl* p = app_->playControl()) p->StopPlay();
    QDate wanted;
    if (CSearchRecDlg* s = app_->searchDialog()) wanted = s->startDate()->date();
    const QDate day = GridView::DefaultDay(wanted);
    pages_->setCurrentWidget(grid_);
    // A grid wants more room than one video window.
    if (width() < kGridWidth || height() < kGridHeight)
      resize(std::max(width(), kGridWidth), std::max(height(), kGridHeight));
    grid_->SetLayout(tiles);
    grid_->LoadDay(day);
  } else {
    grid_->SetLayout(tiles);
  }
  if (QAction* a = layoutAction(tiles)) a->setChecked(true);
}

void CVistorDlg::ShowSingle() {
  if (gridShown()) grid_->Stop();
  pages_->setCurrentWidget(singlePage_);
  if (QAction* a = layoutAction(0)) a->setChecked(true);
}

void CVistorDlg::AttachVideo() { app_->vistor().decoders().SetSurface(0, video_); }

void CVistorDlg::ShowPlayControl() {
  CDlgPlayctrl* p = app_->playControl();
  if (!p) return;
  p->showNormal();
  p->raise();
}

void CVistorDlg::ShowAbout() {
  QMessageBox::about(this, QStringLiteral("关于 STFS 录像播放器"),
                     QStringLiteral("STFS 录像播放器\n车载录像机录像盘的检索、回放与备份。"));
}
