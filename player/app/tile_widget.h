// A tile of the multi-channel grid: the video window of one decoder slot with its channel's
// name and the time stamp of the picture shown painted over it; a tile whose channel has no
// recording at the play clock's time is dark and says "无录像". A double-click asks for the tile
// alone (or back to the grid); the context menu assigns a channel or takes a snapshot.
#pragma once

#include <vector>

#include "video_widget.h"

class TileWidget : public VideoWidget {
  Q_OBJECT

 public:
  TileWidget(int index, QWidget* parent = nullptr);

  int index() const { return index_; }
  // The channel shown (-1: none) and whether it has a recording at the clock's time.
  void SetState(int channel, bool recording);
  int channel() const { return channel_; }
  bool recording() const { return recording_; }
  // The channels the context menu offers.
  void SetChoices(const std::vector<int>& channels) { choices_ = channels; }
  static QString ChannelName(int channel);
  // The text painted in the corner: the time stamp of the picture shown, local time.
  QString TimeText() const;

 signals:
  void doubleClicked(int tile);
  void channelChosen(int tile, int channel);
  void snapshotWanted(int tile);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  int index_;
  int channel_ = -1;
  bool recording_ = false;
  std::vector<int> choices_;
};
