#include "state.h"

#include <charconv>
#include <cmath>

namespace simrelay {

std::uint64_t milliseconds_since_epoch(std::chrono::system_clock::time_point wall) {
  auto since = std::chrono::duration_cast<std::chrono::milliseconds>(wall.time_since_epoch());
  return since.count() < 0 ? 0 : static_cast<std::uint64_t>(since.count());
}

void FlightState::apply_reply(std::span<const RrefRecord> records, MonotonicInstant now,
                              std::chrono::system_clock::time_point wall_now) {
  std::uint64_t wall_ms = milliseconds_since_epoch(wall_now);
  MutexLock lock(mutex_);
  for (const RrefRecord& record : records) {
    if (record.index < values_.size()) values_[record.index] = record.value;
  }
  last_reply_ = now;
  reply_time_ms_ = wall_ms;
  ++reply_count_;
  render_live_json();
}

void FlightState::apply_reply(std::span<const RrefRecord> records) {
  apply_reply(records, MonotonicClock::now(), std::chrono::system_clock::now());
}

bool FlightState::live_at(MonotonicInstant now) const {
  if (!last_reply_ || !values_[0] || !values_[1]) return false;
  // A reading older than the reply counts as no time elapsed.
  return now <= *last_reply_ || now - *last_reply_ < LIVE_WINDOW;
}

bool FlightState::is_live(MonotonicInstant now) const {
  MutexLock lock(mutex_);
  return live_at(now);
}

std::uint64_t FlightState::reply_count() const {
  MutexLock lock(mutex_);
  return reply_count_;
}

std::uint64_t FlightState::append_snapshot(std::string& out, MonotonicInstant now) const {
  MutexLock lock(mutex_);
  out += live_at(now) ? std::string_view(live_json_) : R"({"xp":false})";
  return reply_count_;
}

void FlightState::render_live_json() {
  std::string& out = live_json_;
  out.assign(R"({"xp":true,"t":)");
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof digits, reply_time_ms_).ptr;
  out.append(digits, end);
  for (std::size_t row = 0; row < values_.size(); ++row) {
    if (!values_[row] || !std::isfinite(*values_[row])) continue;
    out += ",\"";
    out += POSITION_FIELDS[row].json_key;
    out += "\":";
    append_float(out, *values_[row]);
  }
  out += '}';
}

std::string FlightState::snapshot_json(MonotonicInstant now) const {
  std::string out;
  out.reserve(160);
  append_snapshot(out, now);
  return out;
}

void append_float(std::string& out, float value) {
  // The scientific form gives the shortest round-trip digits and the
  // exponent; they are laid out positionally here. (The fixed form would
  // print every exact digit of a large value instead.)
  char scientific[32];
  auto end = std::to_chars(scientific, scientific + sizeof scientific, value,
                           std::chars_format::scientific)
                 .ptr;
  std::string_view text(scientific, static_cast<std::size_t>(end - scientific));
  if (text.front() == '-') {
    out += '-';
    text.remove_prefix(1);
  }
  std::size_t e = text.find('e');
  int exponent = 0;
  std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(),
                  exponent);
  std::string digits;
  for (char c : text.substr(0, e)) {
    if (c != '.') digits += c;
  }
  if (digits == "0") {
    out += '0';
    return;
  }
  // The value is 0.d1d2d3... times 10^(exponent + 1).
  int point = exponent + 1;
  int count = static_cast<int>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point >= count) {
    out += digits;
    out.append(static_cast<std::size_t>(point - count), '0');
  } else {
    out.append(digits, 0, static_cast<std::size_t>(point));
    out += '.';
    out.append(digits, static_cast<std::size_t>(point));
  }
}

}  // namespace simrelay
