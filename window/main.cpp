// Routes an ordinary output stream into the main window: the greeting goes
// through a PaneSink before the window is shown, then the event loop runs.
#include <QApplication>
#include <ostream>

#include "window/panesink.h"
#include "window/window.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  Window window;
  PaneSink sink(&window);
  std::ostream out(&sink);
  out << "Hello world!" << std::endl;
  window.setVisible(true);
  return app.exec();
}
