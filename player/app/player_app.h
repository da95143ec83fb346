// The application object: the storage library set up once, the one player with its play list
// and decode threads, and the three windows in their start-up layout.
#pragma once

#include <QString>
#include <QStringList>
#include <memory>
#include <string>
#include <vector>

#include "player/decode_threads.h"
#include "player/multi_vistor.h"
#include "player/play_list.h"
#include "player/vistor_korvex.h"

class CVistorDlg;
class CSearchRecDlg;
class CDlgPlayctrl;

struct PlayerOptions {
  std::vector<std::string> images;   // --image PATH: disk images attached as drives
  std::vector<std::string> folders;  // --folder DIR: folder copies of record disks
  bool systemDisks = true;           // --no-system-disks: only what the command line names
  QString tourDir;                   // --tour DIR: the scripted tour, screenshots into DIR
  int tourSeconds = 4;               // --tour-seconds N: how long the tour plays
  bool verbose = false;              // --verbose: the library's debug log on stderr
};

// Reads the command line (without the program name). False with *error set on a bad argument.
bool ParsePlayerArgs(const QStringList& args, PlayerOptions* options, QString* error);
QString PlayerUsage();

class CVistorApp {
 public:
  explicit CVistorApp(PlayerOptions options);
  ~CVistorApp();

  // Attaches the command line's images and folders and initialises the storage library (once
  // per process: 32 channels, small FIFOs, the player records nothing).
  void InitStorage();
  // Creates the windows, lays them out and shows them.
  void ShowWindows();

  CVistorKorvex& vistor() { return vistor_; }
  player::PlayList& playList() { return playList_; }
  player::DecodeThreads& decodeThreads() { return decodeThreads_; }
  // The multi-channel player of the grid (its own readers, decoder slots and threads).
  CMultiVistor& multiVistor() { return multiVistor_; }
  CVistorDlg* mainDialog() { return main_.get(); }
  CSearchRecDlg* searchDialog() { return search_.get(); }
  CDlgPlayctrl* playControl() { return playctrl_.get(); }
  const PlayerOptions& options() const { return options_; }

  // Attaches an image file (or a block device) or adds a folder disk, then scans again. An
  // empty string, or what went wrong in plain words.
  static QString AddDiskSource(const QString& path);
  // What the command line named and could not be opened, in plain words.
  const QStringList& startupErrors() const { return startupErrors_; }

 private:
  static QString AttachSource(const QString& path);

  PlayerOptions options_;
  QStringList startupErrors_;
  player::PlayList playList_;
  CVistorKorvex vistor_{&playList_};
  player::DecodeThreads decodeThreads_{&vistor_};
  CMultiVistor multiVistor_;  // declared before the windows: the grid stops it as it goes
  std::unique_ptr<CVistorDlg> main_;
  std::unique_ptr<CSearchRecDlg> search_;
  std::unique_ptr<CDlgPlayctrl> playctrl_;
};
