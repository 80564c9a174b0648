// Feeds arbitrary bytes, cut into reads at arbitrary points, through request
// head intake and routing, and checks what comes out.
//
// Input layout: the bytes from the front are the stream a client sends; the
// bytes from the back choose how the stream ends (end of stream or a failed
// read), how often its first part is repeated (to reach the head size cap
// from a short input), the length of a tail after the copies, and the points
// at which the stream is cut into reads.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "http.h"

namespace {

using simrelay::MAX_REQUEST_HEAD;

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

// Hands out the stream in fuzz-chosen pieces, then the chosen ending.
class FuzzedSource : public simrelay::ByteSource {
 public:
  FuzzedSource(const std::string& stream, FuzzedDataProvider& cuts, bool ends_in_failure)
      : stream_(stream), cuts_(cuts), ends_in_failure_(ends_in_failure) {}

  long read(std::span<char> buffer) override {
    require(!buffer.empty(), "read asked for no bytes");
    require(!finished_, "read again after the end or a failure");
    std::size_t left = stream_.size() - offset_;
    if (left == 0) {
      finished_ = true;
      return ends_in_failure_ ? -1 : 0;
    }
    std::size_t most = std::min(left, buffer.size());
    std::size_t take =
        cuts_.remaining_bytes() > 0 ? cuts_.ConsumeIntegralInRange<std::size_t>(1, most) : most;
    std::memcpy(buffer.data(), stream_.data() + offset_, take);
    offset_ += take;
    return static_cast<long>(take);
  }

  std::size_t delivered() const { return offset_; }

 private:
  const std::string& stream_;
  FuzzedDataProvider& cuts_;
  bool ends_in_failure_;
  std::size_t offset_ = 0;
  bool finished_ = false;
};

bool is_ascii_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// The first two words of an ASCII line, split at ASCII white space: on such
// lines this must agree with the Unicode splitting of the bridge.
std::pair<std::string, std::string> ascii_words(const std::string& line) {
  std::string words[2];
  std::size_t at = 0;
  for (std::string& word : words) {
    while (at < line.size() && is_ascii_space(line[at]))
      ++at;
    while (at < line.size() && !is_ascii_space(line[at]))
      word += line[at++];
  }
  return {words[0], words[1]};
}

simrelay::Route expected_route(const std::string& line) {
  auto [method, target] = ascii_words(line);
  if (method == "OPTIONS") return simrelay::Route::Preflight;
  if (target.empty()) target = "/";
  target = target.substr(0, target.find('?'));
  if (target == "/state") return simrelay::Route::Snapshot;
  if (target == "/stream") return simrelay::Route::EventStream;
  return simrelay::Route::StatusPage;
}

// What intake must give for the whole stream, however it is cut into reads:
// the request line, or nothing when the line fails or the head (up to the
// line that ends it) is longer than the cap.
std::optional<std::string> expected_head(const std::string& stream, bool ends_in_failure) {
  std::size_t first_end = stream.find('\n');
  if (first_end == std::string::npos) {
    if (stream.size() > MAX_REQUEST_HEAD || ends_in_failure) return std::nullopt;
    if (!simrelay::is_valid_utf8(stream)) return std::nullopt;
    return stream;
  }
  std::string line = stream.substr(0, first_end + 1);
  if (line.size() > MAX_REQUEST_HEAD || !simrelay::is_valid_utf8(line)) return std::nullopt;
  std::size_t at = first_end + 1;
  for (;;) {
    std::size_t end = stream.find('\n', at);
    std::size_t head_end = end == std::string::npos ? stream.size() : end + 1;
    if (head_end > MAX_REQUEST_HEAD) return std::nullopt;
    if (end == std::string::npos) return line;  // The stream ended or failed.
    std::string_view header(stream.data() + at, head_end - at);
    if (header == "\r\n" || header == "\n" || !simrelay::is_valid_utf8(header)) return line;
    at = head_end;
  }
}

void check_request_line(const std::string& line, const std::string& stream, std::size_t delivered) {
  require(line.size() <= MAX_REQUEST_HEAD, "request line longer than the head cap");
  require(simrelay::is_valid_utf8(line), "request line is not valid UTF-8");
  require(stream.compare(0, line.size(), line) == 0, "request line is not the stream's start");
  std::size_t newline = line.find('\n');
  if (newline == std::string::npos) {
    // Only the end of the stream ends a request line without its '\n'.
    require(line.size() == delivered && delivered == stream.size(), "line cut short");
  } else {
    require(newline + 1 == line.size(), "request line runs past its '\\n'");
  }

  simrelay::Route route = simrelay::route_request_line(line);
  simrelay::RequestWords words = simrelay::split_request_line(line);
  require(words.method.empty() || words.method.data() >= line.data(), "method outside line");
  require(words.target.empty() || words.target.data() >= line.data(), "target outside line");
  if (std::all_of(line.begin(), line.end(), [](char c) { return (c & 0x80) == 0; })) {
    require(route == expected_route(line), "route differs from the ASCII reading");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  bool ends_in_failure = input.ConsumeBool();
  int repeats = input.ConsumeIntegralInRange(1, 16);
  std::size_t tail_length = input.ConsumeIntegralInRange<std::size_t>(0, 255);
  std::string once = input.ConsumeRandomLengthString(size);
  std::string stream;
  for (int i = 0; i < repeats; ++i)
    stream += once;
  // A short tail after the copies reaches every length near the cap.
  stream += input.ConsumeBytesAsString(tail_length);

  // Splitting must stay inside any text, valid UTF-8 or not: an exact-size
  // copy lets the address sanitizer see a read past its end.
  std::unique_ptr<char[]> exact(new char[stream.size()]);
  std::memcpy(exact.get(), stream.data(), stream.size());
  std::string_view raw(exact.get(), stream.size());
  simrelay::RequestWords words = simrelay::split_request_line(raw);
  require(words.method.size() + words.target.size() <= raw.size(), "words longer than the text");
  simrelay::route_request_line(raw);

  FuzzedSource source(stream, input, ends_in_failure);
  std::optional<std::string> line = simrelay::read_request_head(source);
  require(line == expected_head(stream, ends_in_failure),
          "intake differs from the whole-stream reading");
  if (line) check_request_line(*line, stream, source.delivered());
  return 0;
}
