#include "clip_dialog.h"

#include <QDateEdit>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QTimeEdit>

CDlgMovCut::CDlgMovCut(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("剪辑"));
  auto* form = new QFormLayout(this);
  auto dateTime = [this](const char* time) {
    auto* row = new QHBoxLayout;
    auto* date = new QDateEdit(QDate::currentDate(), this);
    date->setCalendarPopup(true);
    row->addWidget(date);
    row->addWidget(new QTimeEdit(QTime::fromString(QString::fromLatin1(time), "HH:mm:ss"), this));
    return row;
  };
  form->addRow(QStringLiteral("开始时间："), dateTime("00:00:00"));
  form->addRow(QStringLiteral("结束时间："), dateTime("23:59:59"));
  form->addRow(new QSlider(Qt::Horizontal, this));
  form->addRow(new QSlider(Qt::Horizontal, this));
  auto* path = new QHBoxLayout;
  path->addWidget(new QLineEdit(this));
  path->addWidget(new QPushButton(QStringLiteral("浏览"), this));
  form->addRow(QStringLiteral("路径:"), path);
  form->addRow(QStringLiteral("文件名:"), new QLineEdit(this));
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(new QPushButton(QStringLiteral("播放"), this));
  buttons->addWidget(new QPushButton(QStringLiteral("导出"), this));
  buttons->addStretch(1);
  buttons->addWidget(new QLabel(QStringLiteral("时长"), this));
  form->addRow(buttons);
}
