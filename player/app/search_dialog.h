// The search window "录像检索": the disk list, disk scan and "打开镜像…", the channel and stream
// choice, the search range, the result list with check boxes, play, and the backup of the
// checked rows into the backup directory with its progress bar (timer 0x50001).
#pragma once

#include <QCalendarWidget>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTimeEdit>
#include <QTimer>
#include <QWidget>
#include <vector>

#include "qvfs/records.h"

class CVistorApp;

class CSearchRecDlg : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kBackupTimerId = 0x50001;
  static constexpr int kAllChannels = -1;  // the channel choice "所有通道"

  explicit CSearchRecDlg(CVistorApp* app);

  // Initialises the storage library, lists the disks and starts the decode threads.
  void Start();

  QComboBox* disks() { return disks_; }
  QComboBox* channels() { return channels_; }
  QComboBox* sources() { return sources_; }
  QDateEdit* startDate() { return startDate_; }
  QTimeEdit* startTime() { return startTime_; }
  QDateEdit* endDate() { return endDate_; }
  QTimeEdit* endTime() { return endTime_; }
  QCheckBox* allTimes() { return allTimes_; }
  QCheckBox* recovered() { return recovered_; }
  QCheckBox* checkAll() { return checkAll_; }
  QLineEdit* backupDir() { return backupDir_; }
  QTableWidget* results() { return results_; }
  QProgressBar* progress() { return progress_; }
  QLabel* status() { return status_; }
  QPushButton* button(int id) const;
  QTimer* backupTimer() { return &backupTimer_; }
  const std::vector<_rec_file_info_>& records() const { return records_; }
  // Starts a backup of the records into the backup directory, as MP4, with the progress bar
  // and the failure report of the window's own backups. An empty string, or why it did not
  // start.
  QString BackupRecords(const std::vector<_rec_file_info_>& list);
  // Marks the days holding recordings in both calendars (the months shown).
  void MarkRecordedDays();
  static void MarkRecordedDays(QCalendarWidget* calendar, int year, int month);

 public slots:
  void ScanDisks();
  void Search();
  void PlayResults();
  void Backup();
  void PlayRow(int row);
  void ChooseBackupDir();
  void OpenImage();
  void OpenFolder();

 private slots:
  void CheckAllRows(bool checked);
  void UpdateBackupProgress();

 private:
  QPushButton* AddButton(int id, const QString& text);
  void FillDisks();
  void FillChannels();
  void FillResults();
  // The pieces the recovery scan finds on the chosen disk, as records (start-time order).
  std::vector<_rec_file_info_> SearchRecovered(int64_t start, int64_t end, uint32_t mask);
  static constexpr int kMaxRecoveredPieces = 65536;
  // Why no record disk is listed, in plain words.
  QString NoDiskReason() const;
  void Warn(const QString& text);

  CVistorApp* app_;
  QComboBox* disks_;
  QComboBox* channels_;
  QComboBox* sources_;
  QLabel* sourceLabel_;
  QDateEdit* startDate_;
  QTimeEdit* startTime_;
  QDateEdit* endDate_;
  QTimeEdit* endTime_;
  QCheckBox* allTimes_;
  QCheckBox* joinTimes_;
  QCheckBox* recovered_;
  QCheckBox* checkAll_;
  QLineEdit* backupDir_;
  QTableWidget* results_;
  QProgressBar* progress_;
  QLabel* status_;
  QTimer backupTimer_;
  std::vector<_rec_file_info_> records_;
  std::vector<_rec_file_info_> backupList_;  // the records of the running or last backup
  int diskCount_ = 0;
};
