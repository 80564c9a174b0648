// Reading and routing the request head of one connection.
#include <array>

#include "http.h"

namespace simrelay {
namespace {

enum class LineEnd { Newline, EndOfStream, Failed, TooLong };

// Buffered line reading over a byte source, with a budget for the whole head.
class HeadReader {
 public:
  explicit HeadReader(ByteSource& source) : source_(source) {}

  // Fills `line` up to and including the next '\n', or with what came
  // before the end of the stream.
  LineEnd read_line(std::string& line) {
    line.clear();
    for (;;) {
      if (next_ == end_) {
        long n = source_.read(buffer_);
        if (n < 0) return LineEnd::Failed;
        if (n == 0) return LineEnd::EndOfStream;
        next_ = 0;
        end_ = static_cast<std::size_t>(n);
      }
      std::string_view available(buffer_.data() + next_, end_ - next_);
      std::size_t newline = available.find('\n');
      std::size_t take = newline == std::string_view::npos ? available.size() : newline + 1;
      if (take > budget_) return LineEnd::TooLong;
      budget_ -= take;
      line.append(available.substr(0, take));
      next_ += take;
      if (newline != std::string_view::npos) return LineEnd::Newline;
    }
  }

 private:
  ByteSource& source_;
  std::array<char, REQUEST_BUFFER_SIZE> buffer_;
  std::size_t next_ = 0;
  std::size_t end_ = 0;
  std::size_t budget_ = MAX_REQUEST_HEAD;
};

// Decodes the code point at `at`, advancing it. Meant for valid UTF-8; a
// sequence cut short by the end of the text is taken as one character that
// is not white space, so no text leads the reading past its end.
char32_t next_code_point(std::string_view text, std::size_t& at) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(at);
  if (lead < 0x80) return text[at++];
  std::size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : 2;
  if (length > text.size() - at) {
    at = text.size();
    return U'\uFFFD';
  }
  char32_t code = lead & (0x7f >> length);
  for (std::size_t i = 1; i < length; ++i)
    code = (code << 6) | (byte(at + i) & 0x3f);
  at += length;
  return code;
}

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0d) || c == 0x20 || c == 0x85 || c == 0xa0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200a) || c == 0x2028 || c == 0x2029 || c == 0x202f || c == 0x205f ||
         c == 0x3000;
}

// The next word at or after `at`, skipping white space; empty at the end.
std::string_view next_word(std::string_view line, std::size_t& at) {
  std::size_t start = at;
  while (at < line.size()) {
    std::size_t here = at;
    bool white = is_white_space(next_code_point(line, at));
    if (!white) continue;
    if (here > start) return line.substr(start, here - start);
    start = at;
  }
  return line.substr(start);
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
  std::size_t i = 0;
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  auto continuation = [&](std::size_t k) { return k < text.size() && (byte(k) & 0xc0) == 0x80; };
  while (i < text.size()) {
    unsigned char lead = byte(i);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    // The second byte's range rules out overlong forms, surrogates and
    // code points above U+10FFFF.
    unsigned char low = 0x80, high = 0xbf;
    int length;
    if (lead >= 0xc2 && lead <= 0xdf) {
      length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
      length = 3;
      if (lead == 0xe0) low = 0xa0;
      if (lead == 0xed) high = 0x9f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
      length = 4;
      if (lead == 0xf0) low = 0x90;
      if (lead == 0xf4) high = 0x8f;
    } else {
      return false;
    }
    if (i + 1 >= text.size() || byte(i + 1) < low || byte(i + 1) > high) return false;
    for (int k = 2; k < length; ++k) {
      if (!continuation(i + k)) return false;
    }
    i += length;
  }
  return true;
}

std::optional<std::string> read_request_head(ByteSource& source) {
  HeadReader reader(source);
  std::string request_line;
  LineEnd end = reader.read_line(request_line);
  if (end == LineEnd::Failed || end == LineEnd::TooLong || !is_valid_utf8(request_line)) {
    return std::nullopt;
  }
  // Header lines are thrown away; a failed read or a broken line merely ends
  // the head, but a head beyond the size limit gets no answer.
  std::string header;
  while (end == LineEnd::Newline) {
    end = reader.read_line(header);
    if (end == LineEnd::TooLong) return std::nullopt;
    if (end != LineEnd::Newline || !is_valid_utf8(header)) break;
    if (header == "\r\n" || header == "\n") break;
  }
  return request_line;
}

RequestWords split_request_line(std::string_view line) {
  std::size_t at = 0;
  RequestWords words;
  words.method = next_word(line, at);
  words.target = next_word(line, at);
  return words;
}

Route route_request_line(std::string_view line) {
  RequestWords words = split_request_line(line);
  if (words.method == "OPTIONS") return Route::Preflight;
  std::string_view target = words.target.empty() ? "/" : words.target;
  target = target.substr(0, target.find('?'));
  if (target == "/state") return Route::Snapshot;
  if (target == "/stream") return Route::EventStream;
  return Route::StatusPage;
}

}  // namespace simrelay
