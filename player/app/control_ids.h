// The windows' controls keep the ids of the dialog design as object names ("btn1001",
// "ctl1005"), so that tests and the tour find them the way the design names them.
#pragma once

#include <QPushButton>
#include <QString>
#include <QWidget>

inline QString ButtonName(int id) { return QStringLiteral("btn%1").arg(id); }
inline QString ControlName(int id) { return QStringLiteral("ctl%1").arg(id); }

// A push button of `parent` with its id.
inline QPushButton* AddIdButton(QWidget* parent, int id, const QString& text) {
  auto* b = new QPushButton(text, parent);
  b->setObjectName(ButtonName(id));
  return b;
}

inline QPushButton* FindIdButton(const QWidget* parent, int id) {
  return parent->findChild<QPushButton*>(ButtonName(id));
}
