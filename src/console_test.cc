// The console's line queue: whoever prints never waits for the console, and
// the lines still come out whole and in order.
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

#include "console.h"

namespace simrelay {
namespace {

// A console that takes nothing until the test lets it, and tells when its
// first write has begun.
std::shared_future<void> console_frozen_until;
std::promise<void> first_write_begun;
std::vector<std::string> written;

void frozen_console(ConsoleStream stream, std::string_view line) {
  if (written.empty()) first_write_begun.set_value();
  console_frozen_until.wait();
  written.push_back((stream == ConsoleStream::Out ? "out " : "err ") + std::string(line));
}

TEST(LineQueue, PrintingNeverWaitsForAStuckConsole) {
  std::promise<void> thaw;
  console_frozen_until = thaw.get_future().share();
  auto* queue = new LineQueue(frozen_console);  // Its thread outlives the test.
  ASSERT_TRUE(queue->start());

  std::vector<std::string> expected;
  for (std::size_t i = 0; i < 2 * LineQueue::MAX_WAITING; ++i) {
    bool out = i % 3 != 0;
    queue->push(out ? ConsoleStream::Out : ConsoleStream::Err, "line " + std::to_string(i));
    expected.push_back((out ? "out line " : "err line ") + std::to_string(i));
    // The writer holds the first line before the rest come, so which lines
    // wait and which are dropped does not depend on when it woke.
    if (i == 0) first_write_begun.get_future().wait();
  }
  thaw.set_value();
  queue->drain();
  // The one being written when the console froze, then the waiting ones;
  // the rest were dropped rather than held by the printer.
  ASSERT_EQ(written.size(), LineQueue::MAX_WAITING + 1);
  expected.resize(written.size());
  EXPECT_EQ(written, expected);
}

TEST(ConsoleInput, EnterEndsTheLineInLineModeAndKeyByKey) {
  EXPECT_TRUE(console_read_ends_line(L"yes\r\n"));  // Line mode: one Enter.
  EXPECT_TRUE(console_read_ends_line(L"\r"));       // Line input off: Enter alone.
  EXPECT_TRUE(console_read_ends_line(L"\n"));       // The tail of a long line.
  EXPECT_FALSE(console_read_ends_line(L"a long line's first part"));
  EXPECT_FALSE(console_read_ends_line(L""));
}

}  // namespace
}  // namespace simrelay
