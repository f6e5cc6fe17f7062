// The window program's main window: a read-only plain-text view that shows,
// exactly and in order, the characters handed to append(), as UTF-8; only
// U+FDD0 and U+FDD1, which Qt keeps for itself, show as U+FFFD. A line of
// more than 4096 characters is shown folded, as wrapping would show it.
// Text is gathered and inserted into the view at most about once per frame
// of the screen (60 a second), so streaming line by line, or a piece at a
// time between turns of the event loop, costs about what one bulk
// insertion costs, and no insertion holds the event loop long.
#ifndef WINDOW_WINDOW_H_
#define WINDOW_WINDOW_H_

#include <QByteArray>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QStringDecoder>

class QPlainTextEdit;
class QTimer;

class Window : public QMainWindow {
 public:
  Window();
  Window(const Window&) = delete;  // a widget is not copied
  Window& operator=(const Window&) = delete;
  ~Window() override;

  // Shows the count characters at s after those shown so far, adding no
  // line break; a UTF-8 character or a "\r\n" split across two calls is
  // shown whole, and invalid bytes show as U+FFFD as they would in one
  // call. Keeps the view at the end of the text. Returns count: it takes
  // all; for a negative count it takes nothing and returns 0.
  //
  // The view gets the text at the next frame, a sixtieth of a second after
  // the last one at most, before any paint, or at once when about 256,000
  // characters are waiting. A caller that reads the view without
  // processing events sees only what was delivered so far;
  // deliverPending() delivers the rest.
  int append(const char* s, int count);

  // Inserts every waiting character into the view now, but for a final
  // "\r", held back until the next character says whether a "\n" follows.
  void deliverPending();

  // Returns the text delivered to the view so far, folded lines whole.
  QString text() const;

 private:
  // Owned by Qt as the central widget; null once a caller has replaced it
  // through QMainWindow, and then text is dropped.
  QPointer<QPlainTextEdit> view;
  QTimer* frame;            // owned by Qt: a child; the next frame's delivery
  QElapsedTimer lastFrame;  // since the last frame's delivery
  QByteArray partial;       // the start of a character split between calls
  // Each decodes whole characters only and keeps no state between calls;
  // the first drops a byte-order mark the text starts with, the other
  // shows one that a later call starts with.
  QStringDecoder first{QStringDecoder::Utf8, QStringDecoder::Flag::Stateless};
  QStringDecoder later{QStringDecoder::Utf8,
                       QStringDecoder::Flag::Stateless |
                           QStringDecoder::Flag::ConvertInitialBom};
  bool decodedAny = false;  // whether first has had its turn
  QString pending;          // decoded, not yet in the view
};

#endif  // WINDOW_WINDOW_H_
