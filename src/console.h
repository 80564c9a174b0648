// Console lines leave through one writer thread, so a console that does not
// take them (a window paused by a click or the Pause key, a pipe nobody
// reads) never holds up the thread that printed them: the link keeps
// receiving and the HTTP server keeps answering.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

#include "mutex.h"

namespace simrelay {

enum class ConsoleStream { Out, Err };

// Writes one whole line (the line feed added) to a stream; may block.
using LineWriter = void (*)(ConsoleStream stream, std::string_view line);

// Lines in the order they were queued, each written in one go by a thread of
// its own. Queueing never waits for the console.
class LineQueue {
 public:
  // While the console takes nothing, at most this many lines wait; later
  // ones are dropped (the link lines alone come at most every few seconds).
  static constexpr std::size_t MAX_WAITING = 256;

  explicit LineQueue(LineWriter writer) : writer_(writer) {}

  // Starts the writer thread; false when none could be started, and then
  // every line is written at once by its caller.
  bool start();
  void push(ConsoleStream stream, std::string line);
  // Waits until every line queued so far has been written.
  void drain();

 private:
  struct Line {
    ConsoleStream stream = ConsoleStream::Out;
    std::string text;
  };
  void write_forever();

  LineWriter writer_;
  Mutex mutex_;
  CondVar changed_;
  std::deque<Line> waiting_ SIMRELAY_GUARDED_BY(mutex_);
  bool writing_ SIMRELAY_GUARDED_BY(mutex_) = false;
  bool started_ SIMRELAY_GUARDED_BY(mutex_) = false;
};

// Queues a line for the process's console, through its one LineQueue; the
// writes themselves are write_stdout_line and write_stderr_line (platform.h).
void queue_stdout_line(std::string line);
void queue_stderr_line(std::string line);
// Waits until every line queued so far is out.
void drain_console();

// Whether one read from an interactive console holds the end of the user's
// line. In the console's usual line mode Enter comes as "\r\n"; a console
// whose line input was turned off by the program that started us hands over
// each key as typed, and Enter then comes as "\r" alone.
bool console_read_ends_line(std::wstring_view read);

}  // namespace simrelay
