// Qt 6 QTimer with Qt::PreciseTimer, on the main thread's event loop.
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include "bench.hpp"

namespace bench {
namespace {

bool RunQt(int ms, Recorder& rec) {
  static int argc = 1;
  static char name[] = "bench";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app = new QCoreApplication(argc, argv);  // one per process, kept
  (void)app;
  QEventLoop loop;
  QTimer timer;
  timer.setTimerType(Qt::PreciseTimer);
  timer.setInterval(ms);
  QObject::connect(&timer, &QTimer::timeout, [&] {
    if (!rec.Tick()) {
      timer.stop();
      loop.quit();
    }
  });
  timer.start();
  loop.exec();
  return true;
}

}  // namespace

void AddQtKinds(Kinds& kinds) {
  kinds.push_back({"qt-precise", "Qt 6 QTimer, Qt::PreciseTimer, main thread's event loop", false,
                   [](int ms, std::size_t, Recorder& rec, Extra&) { return RunQt(ms, rec); }});
}

}  // namespace bench
