#include "console.h"

#include "platform.h"

namespace simrelay {

bool LineQueue::start() {
  int error = start_detached_thread([this] { write_forever(); });
  MutexLock lock(mutex_);
  started_ = error == 0;
  return started_;
}

void LineQueue::push(ConsoleStream stream, std::string line) {
  {
    MutexLock lock(mutex_);
    if (started_) {
      if (waiting_.size() < MAX_WAITING) waiting_.push_back({stream, std::move(line)});
      changed_.notify_all();
      return;
    }
  }
  writer_(stream, line);
}

void LineQueue::drain() {
  MutexLock lock(mutex_);
  while (!waiting_.empty() || writing_)
    changed_.wait(mutex_);
}

void LineQueue::write_forever() {
  for (;;) {
    Line line;
    {
      MutexLock lock(mutex_);
      while (waiting_.empty())
        changed_.wait(mutex_);
      line = std::move(waiting_.front());
      waiting_.pop_front();
      writing_ = true;
    }
    writer_(line.stream, line.text);  // Without the lock: this may block.
    MutexLock lock(mutex_);
    writing_ = false;
    changed_.notify_all();
  }
}

namespace {

void write_to_console(ConsoleStream stream, std::string_view line) {
  if (stream == ConsoleStream::Out) {
    write_stdout_line(line);
  } else {
    write_stderr_line(line);
  }
}

// Never destroyed: its thread may still be writing while the process ends.
LineQueue& console() {
  static LineQueue* queue = [] {
    auto* made = new LineQueue(write_to_console);
    made->start();
    return made;
  }();
  return *queue;
}

}  // namespace

void queue_stdout_line(std::string line) {
  console().push(ConsoleStream::Out, std::move(line));
}

void queue_stderr_line(std::string line) {
  console().push(ConsoleStream::Err, std::move(line));
}

void drain_console() {
  console().drain();
}

bool console_read_ends_line(std::wstring_view read) {
  return read.find_first_of(L"\r\n") != std::wstring_view::npos;
}

}  // namespace simrelay
