#include "window/window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <ostream>
#include <string>

#include "window/panesink.h"

namespace {

QString Shown(const Window& window) {
  return window.findChild<QPlainTextEdit*>()->toPlainText();
}

TEST(Window, ShowsTheGreetingExactly) {
  Window window;
  PaneSink sink(&window);
  std::ostream out(&sink);
  out << "Hello world!" << std::endl;
  EXPECT_EQ(Shown(window).toStdString(), "Hello world!\n");
  window.setVisible(true);
  QApplication::processEvents();
  EXPECT_EQ(Shown(window).toStdString(), "Hello world!\n");
}

TEST(Window, JoinsRunsWithoutAddingLineBreaks) {
  Window window;
  PaneSink sink(&window);
  std::ostream out(&sink);
  std::string text;
  for (int i = 0; text.size() < 5000; ++i)
    text += "word" + std::to_string(i) + (i % 9 ? " " : "\n");
  text.resize(5000);  // a run now ends in the middle of a word
  out << text << std::flush;
  EXPECT_EQ(Shown(window).toStdString(), text);
}

TEST(Window, ShowsMultiByteCharactersWholeWhereverARunSplitsThem) {
  const std::string wide = "\xc3\xa9\xe2\x82\xac\xc3\xbc\xe4\xb8\xad";  // é€ü中
  for (int shift = 0; shift < 3; ++shift) {
    Window window;
    PaneSink sink(&window);
    std::ostream out(&sink);
    std::string text(4090 + shift, 'a');
    for (int i = 0; i < 5; ++i) text += wide;
    out << text << std::flush;
    EXPECT_EQ(Shown(window), QString::fromStdString(text)) << "shift " << shift;
  }
  for (size_t split = 0; split <= wide.size(); ++split) {
    Window window;
    window.append(wide.data(), static_cast<int>(split));
    window.append(wide.data() + split, static_cast<int>(wide.size() - split));
    EXPECT_EQ(Shown(window), QString::fromStdString(wide)) << "split " << split;
  }
}

TEST(Window, FollowsTheEndOfTheText) {
  Window window;
  window.setVisible(true);
  PaneSink sink(&window);
  std::ostream out(&sink);
  for (int i = 0; i < 500; ++i) out << "line " << i << '\n';
  out << std::flush;
  QApplication::processEvents();
  QScrollBar* bar = window.findChild<QPlainTextEdit*>()->verticalScrollBar();
  EXPECT_GT(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), bar->maximum());
}

TEST(Window, AppendTakesEveryCharacter) {
  Window window;
  EXPECT_EQ(window.append("abc", 3), 3);
  EXPECT_EQ(window.append("\n", 1), 1);
  EXPECT_EQ(Shown(window).toStdString(), "abc\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");  // no display needed
  }
  QApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
