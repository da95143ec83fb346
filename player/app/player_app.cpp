#include "player_app.h"

#include <QFileInfo>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "main_dialog.h"
#include "playctrl_dialog.h"
#include "qvfs/qvfs.h"
#include "search_dialog.h"

namespace {

constexpr int kChannels = 32;  // the most a channel mask holds: every channel of any disk

}  // namespace

QString PlayerUsage() {
  return QStringLiteral(
      "usage: stfs-player [--image DISK.IMG]... [--folder DIR]... [PATH]...\n"
      "                   [--no-system-disks] [--tour DIR [--tour-seconds N]] [--verbose]\n"
      "Searches, plays and backs up the recordings of vehicle recorder disks: the machine's\n"
      "disks, disk images (--image) and folder copies of record disks (--folder; a bare PATH\n"
      "is either). --tour runs a scripted tour (search, play, pause, seek, modes, backup),\n"
      "saves a PNG screenshot of each window into DIR and exits. --verbose prints the\n"
      "library's debug log on stderr. --version prints the version, --help this text.\n");
}

bool ParsePlayerArgs(const QStringList& args, PlayerOptions* o, QString* error) {
  for (int i = 0; i < args.size(); ++i) {
    const QString& a = args[i];
    auto value = [&](QString* out) {
      if (i + 1 >= args.size()) {
        *error = a + " needs a value";
        return false;
      }
      *out = args[++i];
      return true;
    };
    QString v;
    if (a == "--image") {
      if (!value(&v)) return false;
      o->images.push_back(v.toStdString());
    } else if (a == "--folder") {
      if (!value(&v)) return false;
      o->folders.push_back(v.toStdString());
    } else if (a == "--verbose") {
      o->verbose = true;
    } else if (a == "--no-system-disks") {
      o->systemDisks = false;
    } else if (a == "--tour") {
      if (!value(&o->tourDir)) return false;
    } else if (a == "--tour-seconds") {
      if (!value(&v)) return false;
      bool ok = false;
      o->tourSeconds = v.toInt(&ok);
      if (!ok || o->tourSeconds < 1 || o->tourSeconds > 600) {
        *error = "--tour-seconds is 1..600";
        return false;
      }
    } else if (!a.startsWith("--")) {
      // A bare path (a desktop file manager's way): a folder disk or an image by what it is.
      (QFileInfo(a).isDir() ? o->folders : o->images).push_back(a.toStdString());
    } else {
      *error = "unknown argument '" + a + "'";
      return false;
    }
  }
  return true;
}

CVistorApp::CVistorApp(PlayerOptions options) : options_(std::move(options)) {}

CVistorApp::~CVistorApp() {
  // The threads paint into the main window: they end before the windows go.
  decodeThreads_.StopAll();
  vistor_.Stop();
  vistor_.StopThread();
}

QString CVistorApp::AttachSource(const QString& path) {
  const QFileInfo info(path);
  if (!info.exists()) return QStringLiteral("找不到“%1”。").arg(path);
  const std::string p = path.toStdString();
  if (info.isDir()) {
    if (QVFS_AddVolume(p.c_str(), 1) != 0)
      return QStringLiteral("无法把文件夹“%1”作为录像盘打开。").arg(path);
    return QString();
  }
  // Read-only: the player never writes to the disks it plays.
  errno = 0;
  const int r = QVFS_AttachImage(p.c_str(), 1, 0);
  if (r == -2)
    return QStringLiteral("无法打开“%1”：%2。")
        .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
  if (r == -3) return QStringLiteral("已打开的磁盘太多，无法再打开“%1”。").arg(path);
  if (r < 0) return QStringLiteral("无法打开“%1”。").arg(path);
  return QString();
}

QString CVistorApp::AddDiskSource(const QString& path) {
  const QString error = AttachSource(path);
  if (error.isEmpty()) QVFS_ScanDisksForSearch(kChannels);
  return error;
}

void CVistorApp::InitStorage() {
  static bool initialised = false;  // a second QVFS_Init would keep the first one's arrays
  QVFS_SetConsoleOutput(0);
  if (options_.verbose) QVFS_SetLogSink([](const char* text) { std::fputs(text, stderr); });
  if (!options_.systemDisks) QVFS_UseSystemDisks(0);
  // The player records nothing: every drive it looks at, evidence disks above all, is opened
  // read-only, and recordings a power loss left open are repaired in memory.
  QVFS_SetAllReadOnly(1);
  for (const auto* paths : {&options_.images, &options_.folders}) {
    for (const std::string& path : *paths) {
      const QString error = AttachSource(QString::fromStdString(path));
      if (error.isEmpty()) continue;
      std::fprintf(stderr, "stfs-player: %s\n", error.toUtf8().constData());
      startupErrors_ << error;
    }
  }
  if (initialised) {
    QVFS_ScanDisksForSearch(kChannels);
    return;
  }
  StorageConfig c{};
  c.channelCount = kChannels;
  c.fifoUsers = 4;
  c.mainFifoSize = 0x10000;  // the player records nothing: small FIFOs
  c.writeCacheSize = 0x180000;
  c.playBufferSize = 0x140000;
  c.frameBufferSize = 0x80000;
  QVFS_Init(c);
  initialised = true;
}

void CVistorApp::ShowWindows() {
  main_ = std::make_unique<CVistorDlg>(this);
  search_ = std::make_unique<CSearchRecDlg>(this);
  playctrl_ = std::make_unique<CDlgPlayctrl>(this);
  main_->move(0, 0);
  main_->show();
  // The search window to the right of the main window, the play control below it; both keep
  // their own sizes.
  const QRect frame = main_->frameGeometry();
  search_->move(frame.x() + frame.width(), frame.y());
  playctrl_->move(frame.x(), frame.y() + frame.height());
  search_->show();
  playctrl_->show();
  search_->Start();
  main_->AttachVideo();
}
