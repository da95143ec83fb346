// The play-control window "回放控制": play / pause, stop, previous and next file, the mode
// buttons, the position slider and the time and mode texts, refreshed by timer 80001 every
// second.
#pragma once

#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QTimer>
#include <QWidget>

class CVistorApp;
class CDlgMovCut;

class CDlgPlayctrl : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kTimerId = 80001;
  static constexpr int kTimerMs = 1000;

  explicit CDlgPlayctrl(CVistorApp* app);
  ~CDlgPlayctrl() override;

  // The "播放" button: plays from the list position to start at, or pauses.
  void PlayPause();
  // Play of list entry `row` began elsewhere (a double click): the button follows.
  void NotePlaying(int row);
  void SetStartPosition(int row) { startPos_ = row; }
  // The "停止" button: play stops and the decode threads hold.
  void StopPlay();
  bool playing() const { return playing_; }

  QSlider* slider() { return slider_; }
  QPushButton* button(int id) const;
  QLabel* timeLabel() { return timeText_; }
  QLabel* modeLabel() { return modeText_; }
  QTimer* timer() { return &timer_; }
  CDlgMovCut* clipWindow() { return clip_; }

 public slots:
  // Timer 80001: the slider, the time text and the mode text from the player.
  void Refresh();

 private slots:
  void OnSliderAction(int action);
  void OnSliderReleased();
  void OpenClip();

 private:
  QPushButton* AddButton(int id, const QString& text);

  CVistorApp* app_;
  QSlider* slider_;
  QLabel* timeText_;
  QLabel* modeText_;
  QTimer timer_;
  bool playing_ = false;
  int startPos_ = 0;
  CDlgMovCut* clip_ = nullptr;
};
