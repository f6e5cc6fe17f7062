// Routes an ordinary output stream into the main window: the greeting goes
// through a PaneSink before the window is shown, then the event loop runs.
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <ostream>

#include "window/panesink.h"
#include "window/window.h"

namespace {

// Qt ends a program it cannot give a display with abort(), after several
// lines of its own; say once what happened and how to run it instead.
void ExitWithoutDisplay(QtMsgType type, const QMessageLogContext&,
                        const QString&) {
  if (type != QtFatalMsg) return;  // the warnings that lead up to it
  std::fputs(
      "windowdemo: no display could be opened; run it on a desktop, or "
      "run `make tour`, which draws its window without one\n",
      stderr);
  std::_Exit(1);
}

}  // namespace

int main(int argc, char* argv[]) {
  const QtMessageHandler qt_messages =
      qInstallMessageHandler(ExitWithoutDisplay);
  QApplication app(argc, argv);
  qInstallMessageHandler(qt_messages);
  Window window;
  PaneSink sink(&window);
  std::ostream out(&sink);
  out << "Hello world!" << std::endl;
  window.setVisible(true);
  return app.exec();
}
