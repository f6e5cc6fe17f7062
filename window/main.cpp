// Routes an ordinary output stream into the main window: the greeting goes
// through a PaneSink before the window is shown, then the event loop runs.
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <ostream>

#include "window/panesink.h"
#include "window/window.h"

namespace {

QtMessageHandler qt_handler;  // Qt's own, for every message but the fatal one

// Qt ends a program it cannot give a display with a fatal message and
// abort(), after warnings of its own; those are kept, and the fatal one is
// replaced by one line on how to run the program instead.
void ExitWithoutDisplay(QtMsgType type, const QMessageLogContext& context,
                        const QString& message) {
  if (type != QtFatalMsg) {
    qt_handler(type, context, message);
    return;
  }
  std::fputs(
      "windowdemo: no display could be opened; run it on a desktop, or "
      "run `make tour`, which draws its window without one\n",
      stderr);
  std::_Exit(1);
}

}  // namespace

int main(int argc, char* argv[]) {
  qt_handler = qInstallMessageHandler(ExitWithoutDisplay);
  QApplication app(argc, argv);
  qInstallMessageHandler(qt_handler);
  Window window;
  PaneSink sink(&window);
  std::ostream out(&sink);
  out << "Hello world!" << std::endl;
  window.setVisible(true);
  return app.exec();
}
