// Feeds arbitrary datagrams through RREF decoding into the flight state and
// checks every snapshot against its JSON shape and against a model of the
// record kept here.
//
// Input layout: a sequence of steps; each takes a datagram length, its
// bytes, a wall-clock reading for the reply, and how long after the reply
// the snapshot is taken (which may lie before it).
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "state.h"
#include "xplane.h"

namespace {

using simrelay::POSITION_FIELDS;

void require(bool condition, const char* what, const std::string& text = "") {
  if (condition) return;
  std::fprintf(stderr, "invariant broken: %s: %s\n", what, text.c_str());
  std::abort();
}

std::uint32_t bits_of(float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

// What the record must hold, kept independently of FlightState.
struct Model {
  std::array<std::optional<float>, POSITION_FIELDS.size()> values{};
  bool replied = false;
  std::uint64_t reply_time_ms = 0;
  std::uint64_t reply_count = 0;
};

// Reads the text at `at` against a small grammar, advancing `at`.
class Cursor {
 public:
  explicit Cursor(const std::string& text) : text_(text) {}
  bool take(std::string_view literal) {
    if (text_.compare(at_, literal.size(), literal) != 0) return false;
    at_ += literal.size();
    return true;
  }
  bool at_end() const { return at_ == text_.size(); }
  // Unsigned decimal digits without leading zeros ("0" for zero).
  std::optional<std::string> unsigned_integer() {
    std::size_t start = at_;
    while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_])))
      ++at_;
    std::string digits = text_.substr(start, at_ - start);
    if (digits.empty() || (digits.size() > 1 && digits[0] == '0')) return std::nullopt;
    return digits;
  }
  // A JSON number in plain positional notation: -?int(.digits)? , no exponent.
  std::optional<std::string> positional_number() {
    std::size_t start = at_;
    take("-");
    if (!unsigned_integer()) return std::nullopt;
    if (take(".")) {
      std::size_t fraction = at_;
      while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_])))
        ++at_;
      if (at_ == fraction) return std::nullopt;
    }
    return text_.substr(start, at_ - start);
  }

 private:
  const std::string& text_;
  std::size_t at_ = 0;
};

// Significant digits of a positional number: at most nine for any float.
std::size_t significant_digits(const std::string& number) {
  std::string digits;
  for (char c : number) {
    if (c >= '0' && c <= '9') digits += c;
  }
  std::size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return 1;
  std::size_t last = digits.find_last_not_of('0');
  return last - first + 1;
}

void check_value(const std::string& number, float stored, const std::string& json) {
  require(significant_digits(number) <= 9, "more digits than a float needs", json);
  float parsed = std::strtof(number.c_str(), nullptr);
  require(bits_of(parsed) == bits_of(stored), "value does not read back exactly", json);
}

void check_snapshot(const std::string& json, const Model& model, bool live) {
  if (!live) {
    require(json == R"({"xp":false})", "stale snapshot", json);
    return;
  }
  Cursor cursor(json);
  require(cursor.take(R"({"xp":true,"t":)"), "live snapshot start", json);
  std::optional<std::string> t = cursor.unsigned_integer();
  require(t && *t == std::to_string(model.reply_time_ms), "reply time", json);
  for (std::size_t row = 0; row < POSITION_FIELDS.size(); ++row) {
    const std::optional<float>& value = model.values[row];
    if (!value || !std::isfinite(*value)) continue;
    std::string key = ",\"" + std::string(POSITION_FIELDS[row].json_key) + "\":";
    require(cursor.take(key), "key missing or out of order", json);
    std::optional<std::string> number = cursor.positional_number();
    require(number.has_value(), "value is not a plain JSON number", json);
    check_value(*number, *value, json);
  }
  require(cursor.take("}") && cursor.at_end(), "snapshot end", json);
}

void apply_to_model(Model& model, const simrelay::RrefReply& reply, std::uint64_t wall_ms) {
  for (std::size_t k = 0; k < reply.size(); ++k) {
    simrelay::RrefRecord record = reply[k];
    if (record.index < model.values.size()) model.values[record.index] = record.value;
  }
  model.replied = true;
  model.reply_time_ms = wall_ms;
  ++model.reply_count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  simrelay::FlightState state;
  Model model;
  const simrelay::MonotonicInstant base = simrelay::MonotonicInstant{} + std::chrono::hours(1);
  std::vector<simrelay::RrefRecord> records;

  while (input.remaining_bytes() > 0) {
    std::size_t length = input.ConsumeIntegralInRange<std::size_t>(0, simrelay::REPLY_BUFFER_LEN);
    std::vector<char> datagram = input.ConsumeBytes<char>(length);
    // Wall-clock readings on both sides of 1970, within the nanosecond
    // range of system_clock (about 292 years).
    std::int64_t wall_ms = input.ConsumeIntegral<std::int64_t>() % (1LL << 43);
    auto wall = std::chrono::system_clock::time_point(std::chrono::milliseconds(wall_ms));
    auto age = std::chrono::nanoseconds(
        input.ConsumeIntegralInRange<std::int64_t>(-5'000'000'000, 5'000'000'000));

    if (auto reply = simrelay::decode_rref_reply(datagram)) {
      require(reply->size() == (datagram.size() - 5) / 8, "record count");
      records.resize(reply->size());
      simrelay::copy_records(*reply, records);
      state.apply_reply(records, base, wall);
      apply_to_model(model, *reply, wall_ms < 0 ? 0 : static_cast<std::uint64_t>(wall_ms));
    } else {
      require(datagram.size() < 5 || std::memcmp(datagram.data(), "RREF", 4) != 0,
              "a reply was refused");
    }
    require(state.reply_count() == model.reply_count, "reply count");
    bool live =
        model.replied && model.values[0] && model.values[1] && age < std::chrono::seconds(3);
    check_snapshot(state.snapshot_json(base + age), model, live);
  }
  return 0;
}
