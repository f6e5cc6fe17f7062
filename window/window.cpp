#include "window/window.h"

#include <QByteArrayView>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>

Window::Window() : view(new QPlainTextEdit), decoder(QStringDecoder::Utf8) {
  view->setReadOnly(true);
  setCentralWidget(view);  // the window now owns the view
  setWindowTitle("windowdemo");
  resize(480, 320);
}

Window::~Window() = default;

int Window::append(const char* s, int count) {
  const QString text = decoder(QByteArrayView(s, count));
  QTextCursor end(view->document());
  end.movePosition(QTextCursor::End);
  end.insertText(text);
  QScrollBar* bar = view->verticalScrollBar();
  bar->setValue(bar->maximum());  // follow the end of the text
  return count;
}
