#include "window/panesink.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "window/window.h"  // the recording stand-in

namespace {

std::vector<size_t> Sizes(const Window& window) {
  std::vector<size_t> sizes;
  for (const std::string& call : window.calls) sizes.push_back(call.size());
  return sizes;
}

// Exposes the protected overrides, as a stream would reach them.
class OpenSink : public PaneSink {
 public:
  using PaneSink::overflow;
  using PaneSink::PaneSink;
  using PaneSink::sync;
};

TEST(PaneSink, HandsOverALineAtTheFlushAndNotBefore) {
  Window window;
  PaneSink sink(&window);
  std::ostream out(&sink);
  out << "Hello world!";
  EXPECT_TRUE(window.calls.empty())
      << "the buffer must hold characters back until a flush or a full put "
         "area";
  out << std::endl;
  ASSERT_EQ(window.calls, std::vector<std::string>{"Hello world!\n"})
      << "the flush must hand the window exactly what was written";
  out.flush();  // nothing pending: nothing to call
  EXPECT_EQ(window.calls.size(), 1u)
      << "after a hand-over sync must empty the put area (pbump back to "
         "its start), or the next flush hands the same text over again";
  EXPECT_TRUE(out.good());
}

TEST(PaneSink, HoldsAFullArrayUntilTheFlush) {
  Window window;
  PaneSink sink(&window);
  std::ostream out(&sink);
  out << std::string(4096, 'a');
  EXPECT_TRUE(window.calls.empty())
      << "4096 characters fill the put area without overflowing it";
  out.flush();
  EXPECT_EQ(Sizes(window), std::vector<size_t>{4096})
      << "the flush must hand over the whole put area at once";
}

TEST(PaneSink, OverflowHandsOverTheArrayThenTheCharacterAlone) {
  Window window;
  PaneSink sink(&window);
  std::ostream out(&sink);
  std::string text;
  for (int i = 0; i < 5000; ++i) text += static_cast<char>('a' + i % 26);
  out << text << std::flush;
  EXPECT_EQ(Sizes(window), (std::vector<size_t>{4096, 1, 903}))
      << "overflow must hand over the full put area, then the character "
         "that did not fit on its own";
  std::string joined;
  for (const std::string& call : window.calls) joined += call;
  EXPECT_EQ(joined, text)
      << "the window must receive every character once, in order";
}

TEST(PaneSink, ShortTakeFailsTheFlushAndMakesTheStreamBad) {
  Window window;
  window.take = [](int count) { return count - 2; };
  OpenSink sink(&window);
  std::ostream out(&sink);
  out << "abcdef" << std::flush;
  EXPECT_TRUE(out.bad())
      << "when the window takes fewer characters than offered, sync must "
         "return -1 so that the stream goes bad";
  // The two characters not taken are what stays pending.
  window.take = nullptr;
  EXPECT_EQ(sink.sync(), 0);
  EXPECT_EQ(window.calls, (std::vector<std::string>{"abcdef", "ef"}))
      << "the characters the window did not take must stay pending";
}

TEST(PaneSink, RefusedSingleCharacterFailsOverflow) {
  Window window;
  window.take = [](int count) { return count == 1 ? 0 : count; };
  OpenSink sink(&window);
  EXPECT_EQ(sink.overflow('x'), OpenSink::traits_type::eof())
      << "overflow must return eof when the window refuses the character";
  EXPECT_EQ(window.calls, std::vector<std::string>{"x"});
}

TEST(PaneSink, OverflowWithEndOfFileOnlyHandsOverWhatIsPending) {
  Window window;
  OpenSink sink(&window);
  EXPECT_EQ(sink.overflow(OpenSink::traits_type::eof()), 0)
      << "overflow(eof) with nothing pending must succeed";
  EXPECT_TRUE(window.calls.empty())
      << "overflow(eof) must hand no character of its own to the window";

  sink.sputn("abc", 3);
  EXPECT_EQ(sink.overflow(OpenSink::traits_type::eof()), 0);
  EXPECT_EQ(window.calls, std::vector<std::string>{"abc"});

  window.take = [](int) { return 0; };
  sink.sputn("de", 2);
  EXPECT_EQ(sink.overflow(OpenSink::traits_type::eof()),
            OpenSink::traits_type::eof());
  // A failed hand-over keeps the character back as well.
  EXPECT_EQ(sink.overflow('f'), OpenSink::traits_type::eof());
  EXPECT_EQ(window.calls, (std::vector<std::string>{"abc", "de", "de"}));
}

TEST(PaneSink, DestructionDropsPendingCharactersSilently) {
  Window window;
  {
    PaneSink sink(&window);
    std::ostream out(&sink);
    out << "never flushed";
  }
  EXPECT_TRUE(window.calls.empty())
      << "the destructor must not reach the window: it may be gone";
}

}  // namespace
