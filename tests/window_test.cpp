#include "window/window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTextDocument>
#include <cstdio>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "window/panesink.h"

// Lets GoogleTest show a QString that differs as its text.
void PrintTo(const QString& text, std::ostream* os) {
  *os << '"' << text.toStdString() << '"';
}

namespace {

QPlainTextEdit* View(const Window& window) {
  return window.findChild<QPlainTextEdit*>();
}

// What the view shows, a line shown folded read back whole.
QString Shown(const Window& window) { return window.text(); }

// What the view shows for text handed over in one call.
QString ShownWhole(const std::string& text) {
  Window window;
  window.append(text.data(), static_cast<int>(text.size()));
  window.deliverPending();
  return Shown(window);
}

// What the view shows for text handed over in two calls, split after byte
// split, the first delivered before the second comes.
QString ShownSplit(const std::string& text, size_t split) {
  Window window;
  window.append(text.data(), static_cast<int>(split));
  window.deliverPending();
  window.append(text.data() + split, static_cast<int>(text.size() - split));
  window.deliverPending();
  return Shown(window);
}

TEST(Window, ShowsTheGreetingOnceEventsRun) {
  Window window;
  PaneSink sink(&window);
  std::ostream out(&sink);
  out << "Hello world!" << std::endl;
  window.setVisible(true);
  QApplication::processEvents();
  EXPECT_EQ(Shown(window).toStdString(), "Hello world!\n")
      << "the greeting written before the window was shown must be in it";
}

TEST(Window, PaintDeliversPendingTextWithoutTheEventLoop) {
  Window window;
  window.setVisible(true);
  QApplication::processEvents();
  EXPECT_EQ(window.append("painted", 7), 7);
  window.grab();  // paints the view as an expose would
  EXPECT_EQ(Shown(window).toStdString(), "painted")
      << "a paint must never show the text stale: deliver what is pending "
         "first";
}

TEST(Window, JoinsRunsWithoutAddingLineBreaks) {
  Window window;
  PaneSink sink(&window);
  std::ostream out(&sink);
  std::string text;
  for (int i = 0; text.size() < 4200; ++i)
    text += "word" + std::to_string(i) + (i % 9 ? " " : "\n");
  text.resize(4200);  // a run now ends in the middle of a word
  out << text << std::flush;
  window.deliverPending();
  EXPECT_EQ(Shown(window).toStdString(), text)
      << "the window must show every character once, with no line break "
         "added where a hand-over ends";
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
    window.deliverPending();
    EXPECT_EQ(Shown(window), QString::fromStdString(text)) << "shift " << shift;
  }
  // An invalid byte at the put area's edge (the 4097th, handed over alone),
  // with no flush of its own.
  const std::string invalid = std::string(4093, 'a') + "Caf\xe9s open\n";
  {
    Window window;
    PaneSink sink(&window);
    std::ostream out(&sink);
    out << invalid << std::flush;
    window.deliverPending();
    EXPECT_EQ(Shown(window), ShownWhole(invalid))
        << "an invalid byte at the put area's edge lost the character after it";
  }
  for (size_t split = 0; split <= wide.size(); ++split) {
    EXPECT_EQ(ShownSplit(wide, split), QString::fromStdString(wide))
        << "split " << split << ": a character split by a hand-over must show "
        << "whole";
  }
}

// Any bytes, valid UTF-8 or not, split at every point and delivered a byte
// at a time, show as one call of all of them shows them.
TEST(WindowSweep, ShowsAnyBytesAsOneCallDoesWhereverTheyAreSplit) {
  // Bytes that start, continue, complete or break UTF-8 sequences, and a
  // few whole ones: a byte-order mark, a euro sign, a CRLF.
  const std::vector<std::string> pieces = {
      "s",    "\n",   "\r",   "\x80",         "\x8f",         "\x9f",
      "\xa0", "\xa9", "\xbb", "\xbf",         "\xc0",         "\xc3",
      "\xdf", "\xe0", "\xe2", "\xed",         "\xef",         "\xf0",
      "\xf4", "\xf5", "\xff", "\xef\xbb\xbf", "\xe2\x82\xac", "\r\n"};
  std::mt19937 random(20261209);
  std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
  std::uniform_int_distribution<int> length(1, 6);
  for (int round = 0; round < 400; ++round) {
    std::string bytes;
    for (int n = length(random); n > 0; --n) bytes += pieces[pick(random)];
    bytes += '.';  // ends on a boundary, so one call shows every byte
    // After some text, as every round but the first of one window is: a
    // byte-order mark is then a character like any other.
    const std::string whole = ShownWhole("x" + bytes).mid(1).toStdString();
    const std::string hex =
        QByteArray::fromStdString(bytes).toHex(' ').toStdString();
    Window window;
    window.append("x", 1);
    window.deliverPending();
    std::vector<std::pair<std::string, std::string>> deliveries;  // how, what
    qsizetype seen = 1;
    auto took = [&](const std::string& how) {
      const QString now = Shown(window);
      deliveries.emplace_back(how, now.mid(seen).toStdString());
      seen = now.size();
    };
    for (size_t split = 1; split < bytes.size(); ++split) {
      window.append(bytes.data(), static_cast<int>(split));
      window.deliverPending();
      window.append(bytes.data() + split,
                    static_cast<int>(bytes.size() - split));
      window.deliverPending();
      took("split after byte " + std::to_string(split));
    }
    for (char byte : bytes) {
      window.append(&byte, 1);
      window.deliverPending();
    }
    took("a byte at a time");
    for (const auto& [how, shown] : deliveries) {
      ASSERT_EQ(shown, whole)
          << "bytes " << hex << " " << how << " showed other text than in "
          << "one call: decode only whole characters, keep a split one's "
          << "start for the next call";
    }
  }
}

TEST(Window, DropsAByteOrderMarkOnlyAtTheStartOfTheText) {
  const std::string text = "\xef\xbb\xbfhi\xef\xbb\xbf!";
  for (size_t split = 0; split <= text.size(); ++split) {
    EXPECT_EQ(ShownSplit(text, split), QString::fromUtf8("hi\xef\xbb\xbf!"))
        << "split after byte " << split << ": a byte-order mark is dropped at "
        << "the start of the text and shown anywhere else, wherever a call "
        << "starts";
  }
}

TEST(Window, ShowsCrLfTheSameWhereverAHandOverSplitsIt) {
  const std::string text = "one\r\ntwo\r\n\r\nthree\rfour\r\n";
  const QString whole = ShownWhole(text);
  for (size_t split = 0; split <= text.size(); ++split) {
    EXPECT_EQ(ShownSplit(text, split), whole)
        << "split " << split << ": a \\r\\n split by a hand-over must show as "
        << "one line break";
  }
}

TEST(Window, FollowsTheEndOfTheText) {
  Window window;
  window.setVisible(true);
  PaneSink sink(&window);
  std::ostream out(&sink);
  for (int i = 0; i < 200; ++i) out << "line " << i << std::endl;
  QApplication::processEvents();
  QScrollBar* bar = View(window)->verticalScrollBar();
  EXPECT_GT(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), bar->maximum())
      << "the view must follow the end of the text";
  EXPECT_TRUE(Shown(window).endsWith("line 199\n"));
}

// A writer that returns to the event loop after every piece: the view takes
// text at most about once a frame (a delivery, and the paint it asks for),
// and text left alone reaches it by itself.
TEST(Window, DeliversAtMostAboutOnceAFrameToAWriterThatYields) {
  Window window;
  window.setVisible(true);
  QApplication::processEvents();
  int deliveries = 0;
  QObject::connect(View(window)->document(), &QTextDocument::contentsChanged,
                   [&] { ++deliveries; });
  QElapsedTimer clock;
  clock.start();
  int pieces = 0;
  while (clock.elapsed() < 100) {
    window.append("piece\n", 6);
    ++pieces;
    QApplication::processEvents();  // the writer yields
  }
  const qint64 frames = clock.elapsed() / 16 + 1;
  EXPECT_LE(deliveries, 2 * frames)
      << pieces << " pieces in " << clock.elapsed() << " ms: the window "
      << "delivered more often than once a frame, and each delivery costs an "
      << "insertion and a paint";
  clock.restart();
  while (Shown(window).count(QStringLiteral("piece")) < pieces &&
         clock.elapsed() < 2000) {
    QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  }
  EXPECT_EQ(Shown(window).count(QStringLiteral("piece")), pieces)
      << "text written and then left alone must reach the view by itself";
}

TEST(Window, WriterThatNeverYieldsStillReachesTheView) {
  Window window;
  const std::string chunk(4096, 'x');
  for (int i = 0; i < 300; ++i) {  // 1.2 million characters, no events
    EXPECT_EQ(window.append(chunk.data(), 4096), 4096);
  }
  EXPECT_GE(Shown(window).size(), 1'000'000)
      << "text from a writer that never returns to the event loop must "
         "still reach the view";
  window.deliverPending();
  EXPECT_EQ(window.text().toStdString(),
            std::string(std::size_t{300} * 4096, 'x'))
      << "a line shown folded must read back whole, every character once";
}

TEST(Window, TakesNothingForANegativeCount) {
  Window window;
  EXPECT_EQ(window.append("abc", -1), 0);
  window.deliverPending();
  EXPECT_EQ(Shown(window).toStdString(), "");
}

TEST(Window, ADeliveryStartedByTheViewsOwnChangeShowsTextOnce) {
  Window window;
  int calls = 0;
  QObject::connect(View(window)->document(), &QTextDocument::contentsChanged,
                   [&] {
                     if (++calls > 3) return;  // a fault would not stop
                     if (calls == 1) window.append("!", 1);
                     window.deliverPending();
                   });
  window.append("hello", 5);
  window.deliverPending();
  EXPECT_EQ(Shown(window).toStdString(), "hello!")
      << "a delivery started from the view's own change signal showed text "
         "again: take the text out of the queue before inserting it";
}

TEST(Window, ReplacedCentralWidgetDropsTextInsteadOfCrashing) {
  Window window;
  window.append("before", 6);
  static_cast<QMainWindow&>(window).setCentralWidget(new QLabel("mine"));
  QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);  // the view
  window.append("after", 5);
  window.deliverPending();
  EXPECT_TRUE(window.text().isEmpty())
      << "with its view gone the window has nowhere to show text";
}

TEST(Window, ShowsQtsFrameMarkersAsReplacementCharacters) {
  EXPECT_EQ(ShownWhole("a\xef\xb7\x90"
                       "b\xef\xb7\x91"
                       "c"),
            QString::fromUtf8("a\xef\xbf\xbd"
                              "b\xef\xbf\xbd"
                              "c"))
      << "U+FDD0 and U+FDD1 must not end the line: Qt takes them as frame "
         "markers";
}

TEST(Window, TextPendingAtDestructionGoesWithTheWindow) {
  auto window = std::make_unique<Window>();
  const QPointer<QWidget> view = window->centralWidget();
  window->append("never shown", 11);
  window.reset();
  // The queued delivery must not run into the view destroyed with the
  // window (the sanitizers and memcheck stop a use of the freed view).
  QApplication::processEvents();
  EXPECT_TRUE(view.isNull())
      << "the window's view outlived the window: its pending text still had "
         "somewhere to go";
}

// Drops the offscreen platform's notice that it cannot resize a shown
// window's frame: nothing a test checks, and noise in every report.
void DropFrameNotice(QtMsgType type, const QMessageLogContext& context,
                     const QString& message) {
  if (message.contains(QStringLiteral("propagateSizeHints"))) return;
  std::fprintf(stderr, "%s\n",
               qPrintable(qFormatLogMessage(type, context, message)));
}

// The QApplication every test here needs, on Qt's offscreen platform unless
// QT_QPA_PLATFORM names another.
class QtApplication : public testing::Environment {
 public:
  void SetUp() override {
    qInstallMessageHandler(DropFrameNotice);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
      qputenv("QT_QPA_PLATFORM", "offscreen");  // no display needed
    }
    runtime_ = std::make_unique<QTemporaryDir>();  // Qt wants one; quiet
    qputenv("XDG_RUNTIME_DIR", runtime_->path().toUtf8());
    app_ = std::make_unique<QApplication>(argc_, argv_);
  }
  void TearDown() override { app_.reset(); }

 private:
  int argc_ = 1;
  char name_[12] = "window_test";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QTemporaryDir> runtime_;
  std::unique_ptr<QApplication> app_;
};

testing::Environment* const kQt =
    testing::AddGlobalTestEnvironment(new QtApplication);

}  // namespace
