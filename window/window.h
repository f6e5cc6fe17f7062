// The window program's main window: a read-only plain-text view that shows,
// exactly and in order, the characters handed to append(), as UTF-8.
#ifndef WINDOW_WINDOW_H_
#define WINDOW_WINDOW_H_

#include <QMainWindow>
#include <QStringDecoder>

class QPlainTextEdit;

class Window : public QMainWindow {
 public:
  Window();
  ~Window() override;

  // Shows the count characters at s after those shown so far, adding no
  // line break; a UTF-8 character split across two calls is shown whole.
  // Keeps the view at the end of the text. Returns count: it takes all.
  int append(const char* s, int count);

 private:
  QPlainTextEdit* view;    // owned by Qt: the central widget, a child
  QStringDecoder decoder;  // holds a split character between calls
};

#endif  // WINDOW_WINDOW_H_
