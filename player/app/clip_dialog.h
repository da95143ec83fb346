// The clip window "剪辑": start and end date and time, two sliders, an export path and file
// name, play and export buttons and the duration label. It opens and closes; exporting a clip
// is not part of the player.
#pragma once

#include <QDialog>

class CDlgMovCut : public QDialog {
  Q_OBJECT

 public:
  explicit CDlgMovCut(QWidget* parent);
};
