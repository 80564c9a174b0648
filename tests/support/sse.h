// Incremental reader of an HTTP response that carries a Server-Sent Events
// stream: checks the status line, skips the header lines, then hands out
// the data of every complete event.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace simrelay::support {

class SseReader {
 public:
  using EventHandler = std::function<void(std::string_view data)>;

  // Feeds the next received bytes; `on_event` gets the data of each event
  // completed by them (several "data:" lines joined by '\n').
  void feed(std::string_view bytes, const EventHandler& on_event);

  // The status line was not "HTTP/1.x 200 ...": nothing further is read.
  bool failed() const { return failed_; }
  bool head_done() const { return !in_head_; }

 private:
  void take_line(std::string_view line, const EventHandler& on_event);
  void take_head_line(std::string_view line);
  void take_event_line(std::string_view line, const EventHandler& on_event);

  std::string line_;
  std::string data_;
  bool in_head_ = true;
  bool status_seen_ = false;
  bool has_data_ = false;
  bool failed_ = false;
};

// True when `line` is an HTTP/1.x status line with code 200.
bool is_ok_status_line(std::string_view line);

}  // namespace simrelay::support
