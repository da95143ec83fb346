// stfs-player: the desktop player for the record disks of vehicle video recorders.
#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstring>

#include "player_app.h"
#include "tour.h"

// The build gives the project's version (CMakeLists.txt).
#ifndef QVFS_VERSION
#error "QVFS_VERSION is not defined"
#endif

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {  // answered without a display
      std::printf("%s", PlayerUsage().toUtf8().constData());
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {  // answered without a display too
      std::printf("stfs-player %s\n", QVFS_VERSION);
      return 0;
    }
  }
  QApplication qt(argc, argv);
  QApplication::setApplicationName(QStringLiteral("stfs-player"));
  QStringList args = QApplication::arguments();
  args.removeFirst();
  PlayerOptions options;
  QString error;
  if (!ParsePlayerArgs(args, &options, &error)) {
    std::fprintf(stderr, "stfs-player: %s\n%s", error.toUtf8().constData(),
                 PlayerUsage().toUtf8().constData());
    return 2;
  }
  CVistorApp app(options);
  app.ShowWindows();
  if (!options.tourDir.isEmpty()) {
    int result = 1;
    QTimer::singleShot(0, [&] {
      result = RunTour(app, options.tourDir, options.tourSeconds);
      QApplication::quit();
    });
    QApplication::exec();
    return result;
  }
  return QApplication::exec();
}
