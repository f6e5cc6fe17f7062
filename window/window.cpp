#include "window/window.h"

#include <QByteArrayView>
#include <QEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>

namespace {

// Returns how many bytes at the end of text begin a UTF-8 character that
// the next bytes may still complete; 0 when the text ends on a boundary or
// in a sequence that is invalid whatever follows.
qsizetype IncompleteTail(QByteArrayView text) {
  for (qsizetype back = 1; back <= 3 && back <= text.size(); ++back) {
    const auto lead = static_cast<unsigned char>(text[text.size() - back]);
    if ((lead & 0xC0) == 0x80) continue;  // a continuation byte
    const int length = lead >= 0xC2 && lead <= 0xDF   ? 2
                       : lead >= 0xE0 && lead <= 0xEF ? 3
                       : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                      : 0;
    if (length <= back) return 0;
    if (back >= 2) {
      // The second byte's range excludes overlong forms, surrogates and
      // code points past U+10FFFF.
      const auto second =
          static_cast<unsigned char>(text[text.size() - back + 1]);
      const unsigned char low = lead == 0xE0   ? 0xA0
                                : lead == 0xF0 ? 0x90
                                               : 0x80;
      const unsigned char high = lead == 0xED   ? 0x9F
                                 : lead == 0xF4 ? 0x8F
                                                : 0xBF;
      if (second < low || second > high) return 0;
    }
    return back;
  }
  return 0;
}

// Past this many waiting characters append() delivers at once, so that a
// writer that never returns to the event loop still reaches the view and
// does not hold the whole text twice, and a writer faster than the view
// pays for the insertion in its own call; inserting this many takes some
// 15 ms, so no delivery holds the event loop long.
constexpr qsizetype kMostPending = 1 << 18;
// Qt lays out a whole block again at every insertion into it, and a block
// without break opportunities in time that grows with its square: a line
// longer than this is shown in blocks of this many characters, each marked
// as folded, so that no insertion costs more than a short line's.
constexpr qsizetype kFoldAt = 4096;
constexpr int kFolded = 1;  // a block's user state: it continues a line
// The screen shows one frame in about 16 ms: more deliveries show nothing
// more and cost an insertion and a paint each.
constexpr int kFrameMs = 16;

// Delivers the window's pending text before any paint of the view, so a
// paint from an expose or a show never shows stale text. Watching the
// window's update request too, it delivers before Qt paints what is dirty:
// the insertion then joins that paint instead of asking for another, which
// a writer that yields between pieces would keep asking for every turn.
class DeliverBeforePaint : public QObject {
 public:
  DeliverBeforePaint(Window* window, QObject* parent)
      : QObject(parent), window_(window) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint ||
        event->type() == QEvent::UpdateRequest) {
      window_->deliverPending();
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  Window* window_;  // not owned: the window owns this filter's parent
};

}  // namespace

Window::Window() : view(new QPlainTextEdit), frame(new QTimer(this)) {
  frame->setSingleShot(true);
  QObject::connect(frame, &QTimer::timeout, this, [this] {
    lastFrame.start();
    deliverPending();
  });
  view->setReadOnly(true);
  view->document()->setUndoRedoEnabled(false);  // no one undoes output
  auto* deliver = new DeliverBeforePaint(this, view->viewport());
  view->viewport()->installEventFilter(deliver);
  installEventFilter(deliver);
  setCentralWidget(view);  // the window now owns the view
  setWindowTitle("windowdemo");
  resize(480, 320);
}

Window::~Window() = default;  // pending text goes with the view

int Window::append(const char* s, int count) {
  if (count <= 0) return 0;
  // Each call decodes only whole characters, so every byte is decoded as
  // one call of all of them would decode it; a decoder that carries state
  // would not do (Qt 6.4's drops the byte after an invalid sequence split
  // so).
  QByteArray joined;
  QByteArrayView bytes(s, count);
  if (!partial.isEmpty()) {
    joined = partial;
    joined.append(bytes);
    bytes = joined;
  }
  const qsizetype whole = bytes.size() - IncompleteTail(bytes);
  if (whole > 0) {
    pending += (decodedAny ? later : first)(bytes.first(whole));
    decodedAny = true;
  }
  partial = bytes.sliced(whole).toByteArray();
  if (pending.size() >= kMostPending) {
    deliverPending();
  } else if (!frame->isActive() && !pending.isEmpty()) {
    // At the next frame, or at the next turn when the last is a frame ago;
    // the timer dies with the window.
    const qint64 since = lastFrame.isValid() ? lastFrame.elapsed() : kFrameMs;
    frame->start(static_cast<int>(qMax<qint64>(0, kFrameMs - since)));
  }
  return count;
}

void Window::deliverPending() {
  if (view.isNull()) {  // the central widget was replaced: nowhere to show it
    pending.clear();
    return;
  }
  // A "\r" shown before its "\n" arrives would make two line breaks.
  const qsizetype ready =
      pending.endsWith(u'\r') ? pending.size() - 1 : pending.size();
  if (ready == 0) return;
  // Out of the queue before the view changes: a slot on the document's
  // signals may append and deliver again, and must not see this text.
  QString text = pending.first(ready);
  pending.remove(0, ready);
  // Qt's own frame markers would end a line; shown as U+FFFD instead.
  text.replace(QChar(0xFDD0), QChar::ReplacementCharacter)
      .replace(QChar(0xFDD1), QChar::ReplacementCharacter);

  QTextCursor end(view->document());
  end.movePosition(QTextCursor::End);
  end.beginEditBlock();  // one layout and one change signal for it all
  qsizetype line = end.block().length() - 1;  // characters on the last line
  qsizetype from = 0;
  for (qsizetype at = 0; at < text.size(); ++at) {
    const QChar c = text[at];
    if (c == u'\n' || c == u'\r' || c == QChar::ParagraphSeparator) {
      line = 0;
    } else if (++line > kFoldAt) {
      end.insertText(text.sliced(from, at - from));
      end.insertBlock();
      end.block().setUserState(kFolded);
      from = at;
      line = 1;
    }
  }
  end.insertText(text.sliced(from));
  end.endEditBlock();
  if (view.isNull()) return;  // a slot replaced the central widget
  QScrollBar* bar = view->verticalScrollBar();
  bar->setValue(bar->maximum());  // follow the end of the text
}

QString Window::text() const {
  QString shown;
  if (view.isNull()) return shown;
  for (QTextBlock block = view->document()->firstBlock(); block.isValid();
       block = block.next()) {
    if (block != view->document()->firstBlock() &&
        block.userState() != kFolded) {
      shown += u'\n';
    }
    shown += block.text();
  }
  return shown;
}
