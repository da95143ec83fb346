#include "playctrl_dialog.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "clip_dialog.h"
#include "control_ids.h"
#include "player_app.h"
#include "search_dialog.h"

namespace {
enum ControlId {
  kSlider = 1000,
  kPlay = 1001,
  kStop = 1002,
  kTime = 1003,
  kPrev = 1005,
  kNext = 1006,
  kFast = 1007,
  kBack = 1008,
  kSingle = 1009,
  kSlow = 1010,
  kClip = 1019,
  kList = 1022,
  kInfo = 1023,
  kNormal = 1024,
};
constexpr int kRestartMs = 900;  // the timer's first tick after a play press
}  // namespace

CDlgPlayctrl::CDlgPlayctrl(CVistorApp* app) : app_(app) {
  setWindowTitle(QStringLiteral("回放控制"));
  setWindowFlag(Qt::Window);
  auto* layout = new QVBoxLayout(this);
  slider_ = new QSlider(Qt::Horizontal, this);
  slider_->setObjectName(QStringLiteral("ctl1000"));
  slider_->setRange(1, 1000);
  slider_->setPageStep(50);
  layout->addWidget(slider_);

  auto* texts = new QHBoxLayout;
  timeText_ = new QLabel(this);
  timeText_->setObjectName(QStringLiteral("ctl1003"));
  modeText_ = new QLabel(QStringLiteral("PlayInfo"), this);
  modeText_->setObjectName(QStringLiteral("ctl1023"));
  texts->addWidget(timeText_);
  texts->addStretch(1);
  texts->addWidget(modeText_);
  layout->addLayout(texts);

  auto* row = new QHBoxLayout;
  layout->addLayout(row);
  auto add = [&](int id, const char* text) {
    QPushButton* b = AddButton(id, QString::fromUtf8(text));
    row->addWidget(b);
    return b;
  };
  QPushButton* play = add(kPlay, "播放");
  QPushButton* stop = add(kStop, "停止");
  QPushButton* prev = add(kPrev, " 上一个");
  QPushButton* next = add(kNext, "下一个");
  QPushButton* fast = add(kFast, "快进");
  QPushButton* back = add(kBack, "快退");
  QPushButton* single = add(kSingle, "单帧");
  QPushButton* slow = add(kSlow, "慢放");
  QPushButton* normal = add(kNormal, "正常");
  QPushButton* clip = add(kClip, "剪辑");
  QPushButton* list = add(kList, "列表");
  single->hide();
  clip->hide();

  CVistorKorvex& v = app_->vistor();
  connect(play, &QPushButton::clicked, this, &CDlgPlayctrl::PlayPause);
  connect(stop, &QPushButton::clicked, this, &CDlgPlayctrl::StopPlay);
  connect(prev, &QPushButton::clicked, this, [&v] { v.PrevFile(true); });
  connect(next, &QPushButton::clicked, this, [&v] { v.NextFile(true); });
  connect(fast, &QPushButton::clicked, this, [&v] { v.FastForward(0); });
  connect(back, &QPushButton::clicked, this, [&v] { v.FastBackward(0); });
  connect(single, &QPushButton::clicked, this, [&v] {
    v.StepFrame();
    v.SingleFrame();
  });
  connect(slow, &QPushButton::clicked, this, [&v] { v.Slow(); });
  connect(normal, &QPushButton::clicked, this, [&v] { v.ResetNormal(); });
  connect(clip, &QPushButton::clicked, this, &CDlgPlayctrl::OpenClip);
  connect(list, &QPushButton::clicked, this, [this] {
    if (CSearchRecDlg* s = app_->searchDialog()) {
      s->showNormal();
      s->raise();
    }
  });
  // Seeks on a page step or when the thumb is let go; dragging alone seeks nothing.
  connect(slider_, &QSlider::actionTriggered, this, &CDlgPlayctrl::OnSliderAction);
  connect(slider_, &QSlider::sliderReleased, this, &CDlgPlayctrl::OnSliderReleased);

  timer_.setInterval(kTimerMs);
  timer_.setObjectName(QString::number(kTimerId));
  connect(&timer_, &QTimer::timeout, this, &CDlgPlayctrl::Refresh);
  timer_.start();
}

CDlgPlayctrl::~CDlgPlayctrl() { delete clip_; }

QPushButton* CDlgPlayctrl::AddButton(int id, const QString& text) {
  return AddIdButton(this, id, text);
}

QPushButton* CDlgPlayctrl::button(int id) const { return FindIdButton(this, id); }

void CDlgPlayctrl::PlayPause() {
  timer_.start(kRestartMs);  // Refresh puts the interval back to a second
  CVistorKorvex& v = app_->vistor();
  if (!playing_) {
    v.Play(startPos_);
    app_->decodeThreads().Release();
    button(kPlay)->setText(QStringLiteral("暂停"));
  } else {
    startPos_ = v.listPosition();  // play goes on here
    v.Pause();
    app_->decodeThreads().Hold();
    button(kPlay)->setText(QStringLiteral("播放"));
  }
  playing_ = !playing_;
}

void CDlgPlayctrl::NotePlaying(int row) {
  startPos_ = row;
  app_->decodeThreads().Release();
  playing_ = true;
  button(kPlay)->setText(QStringLiteral("暂停"));
  if (!timer_.isActive()) timer_.start(kTimerMs);
}

void CDlgPlayctrl::StopPlay() {
  app_->vistor().Stop();
  app_->decodeThreads().Hold();
  playing_ = false;
  button(kPlay)->setText(QStringLiteral("播放"));
  timer_.stop();
}

void CDlgPlayctrl::OnSliderAction(int action) {
  if (action == QAbstractSlider::SliderPageStepAdd ||
      action == QAbstractSlider::SliderPageStepSub) {
    // actionTriggered comes before the value moves: seek to where the step lands.
    const int p = slider_->sliderPosition();
    app_->vistor().SeekPermille(p);
  }
}

void CDlgPlayctrl::OnSliderReleased() { app_->vistor().SeekPermille(slider_->value()); }

void CDlgPlayctrl::Refresh() {
  if (timer_.interval() != kTimerMs) timer_.setInterval(kTimerMs);
  CVistorKorvex& v = app_->vistor();
  // The thumb the operator holds is not moved under the hand.
  if (!slider_->isSliderDown()) {
    const int p = v.PositionPermille();
    slider_->setValue(p < 1 ? 1 : p);
  }
  timeText_->setText(QString::fromStdString(v.TimeText()));
  modeText_->setText(QString::fromStdString(v.ModeText()));
}

void CDlgPlayctrl::OpenClip() {
  if (!clip_) clip_ = new CDlgMovCut(nullptr);
  clip_->show();
  clip_->raise();
}
