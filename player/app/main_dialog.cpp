#include "main_dialog.h"

#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include "control_ids.h"
#include "playctrl_dialog.h"
#include "player_app.h"
#include "video_widget.h"

CVistorDlg::CVistorDlg(CVistorApp* app) : app_(app) {
  setWindowTitle(QStringLiteral("STFS 录像播放器"));
  setWindowIcon(style()->standardIcon(QStyle::SP_MediaPlay));
  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(0, 0, 0, 4);
  video_ = new VideoWidget(central);
  layout->addWidget(video_, 1);
  control_ = AddIdButton(central, kIdControl, QStringLiteral("控制"));
  layout->addWidget(control_, 0, Qt::AlignRight);
  setCentralWidget(central);
  connect(control_, &QPushButton::clicked, this, &CVistorDlg::ShowPlayControl);

  QMenu* help = menuBar()->addMenu(QStringLiteral("帮助(&H)"));
  help->addAction(QStringLiteral("关于 STFS 录像播放器(&A)..."), this, &CVistorDlg::ShowAbout);
  resize(640, 400);
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
