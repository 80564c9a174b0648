#include "sse.h"

namespace simrelay::support {

bool is_ok_status_line(std::string_view line) {
  return line.size() >= 12 && line.substr(0, 7) == "HTTP/1." && line.substr(8, 4) == " 200" &&
         (line.size() == 12 || line[12] == ' ' || line[12] == '\r');
}

void SseReader::feed(std::string_view bytes, const EventHandler& on_event) {
  while (!bytes.empty() && !failed_) {
    std::size_t newline = bytes.find('\n');
    if (newline == std::string_view::npos) {
      line_.append(bytes);
      return;
    }
    line_.append(bytes.substr(0, newline));
    bytes.remove_prefix(newline + 1);
    std::string_view line = line_;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    take_line(line, on_event);
    line_.clear();
  }
}

void SseReader::take_line(std::string_view line, const EventHandler& on_event) {
  if (in_head_) {
    take_head_line(line);
  } else {
    take_event_line(line, on_event);
  }
}

void SseReader::take_head_line(std::string_view line) {
  if (!status_seen_) {
    status_seen_ = true;
    failed_ = !is_ok_status_line(line);
    return;
  }
  if (line.empty()) in_head_ = false;
}

void SseReader::take_event_line(std::string_view line, const EventHandler& on_event) {
  if (line.empty()) {
    if (has_data_) on_event(data_);
    data_.clear();
    has_data_ = false;
    return;
  }
  std::string_view field = line.substr(0, line.find(':'));
  if (field != "data") return;  // Comments, retry, id and event fields.
  std::string_view value = line.substr(field.size());
  if (!value.empty()) value.remove_prefix(1);  // The colon.
  if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
  if (has_data_) data_ += '\n';
  data_.append(value);
  has_data_ = true;
}

}  // namespace simrelay::support
