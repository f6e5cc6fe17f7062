#include "window/window.h"

#include <QByteArrayView>
#include <QEvent>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>

namespace {

// Past this many waiting characters append() delivers at once, so a writer
// that never returns to the event loop does not hold the whole text twice.
constexpr qsizetype kMostPending = 1 << 20;

// Delivers the window's pending text before any paint of the view, so a
// paint from an expose or a show never shows stale text.
class DeliverBeforePaint : public QObject {
 public:
  DeliverBeforePaint(Window* window, QObject* parent)
      : QObject(parent), window_(window) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint) window_->deliverPending();
    return QObject::eventFilter(watched, event);
  }

 private:
  Window* window_;  // not owned: the window owns this filter's parent
};

}  // namespace

Window::Window() : view(new QPlainTextEdit), decoder(QStringDecoder::Utf8) {
  view->setReadOnly(true);
  view->document()->setUndoRedoEnabled(false);  // no one undoes output
  view->viewport()->installEventFilter(
      new DeliverBeforePaint(this, view->viewport()));
  setCentralWidget(view);  // the window now owns the view
  setWindowTitle("windowdemo");
  resize(480, 320);
}

Window::~Window() = default;  // pending text goes with the view

int Window::append(const char* s, int count) {
  pending += decoder(QByteArrayView(s, count));
  if (pending.size() >= kMostPending) {
    deliverPending();
  } else if (!queued && !pending.isEmpty()) {
    // One delivery per turn of the event loop; it dies with the window.
    queued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
          queued = false;
          deliverPending();
        },
        Qt::QueuedConnection);
  }
  return count;
}

void Window::deliverPending() {
  // A "\r" shown before its "\n" arrives would make two line breaks.
  const qsizetype ready =
      pending.endsWith(u'\r') ? pending.size() - 1 : pending.size();
  if (ready == 0) return;
  QTextCursor end(view->document());
  end.movePosition(QTextCursor::End);
  end.insertText(pending.first(ready));
  pending.remove(0, ready);
  QScrollBar* bar = view->verticalScrollBar();
  bar->setValue(bar->maximum());  // follow the end of the text
}
