#include "http.h"

#include <gtest/gtest.h>

#include <thread>

#include "sockets.h"

namespace simrelay {
namespace {

// Serves bytes in chunks of a chosen size, then the end of the stream or a
// failure.
class ScriptedSource : public ByteSource {
 public:
  ScriptedSource(std::string bytes, std::size_t chunk, bool fail_at_end = false)
      : bytes_(std::move(bytes)), chunk_(chunk), fail_at_end_(fail_at_end) {}
  long read(std::span<char> buffer) override {
    if (at_ == bytes_.size()) return fail_at_end_ ? -1 : 0;
    std::size_t n = std::min({chunk_, buffer.size(), bytes_.size() - at_});
    std::copy_n(bytes_.data() + at_, n, buffer.data());
    at_ += n;
    return static_cast<long>(n);
  }
  std::size_t consumed() const { return at_; }

 private:
  std::string bytes_;
  std::size_t chunk_;
  bool fail_at_end_;
  std::size_t at_ = 0;
};

std::optional<std::string> head(std::string bytes, std::size_t chunk = 8192, bool fail = false) {
  ScriptedSource source(std::move(bytes), chunk, fail);
  return read_request_head(source);
}

TEST(RouteRequestLine, TableRows) {
  EXPECT_EQ(route_request_line("OPTIONS /anything HTTP/1.1\r\n"), Route::Preflight);
  EXPECT_EQ(route_request_line("OPTIONS /state HTTP/1.1\r\n"), Route::Preflight);
  EXPECT_EQ(route_request_line("OPTIONS"), Route::Preflight);
  EXPECT_EQ(route_request_line("options /state HTTP/1.1\r\n"), Route::Snapshot);
  EXPECT_EQ(route_request_line("GET /state HTTP/1.1\r\n"), Route::Snapshot);
  EXPECT_EQ(route_request_line("GET /state?x=1 HTTP/1.1\r\n"), Route::Snapshot);
  EXPECT_EQ(route_request_line("HEAD /state"), Route::Snapshot);
  EXPECT_EQ(route_request_line("GET /stream HTTP/1.1\r\n"), Route::EventStream);
  EXPECT_EQ(route_request_line("POST /stream HTTP/1.1\r\n"), Route::EventStream);
  for (const char* line :
       {"GET / HTTP/1.1\r\n", "GET /STATE HTTP/1.1\r\n", "GET /state/ HTTP/1.1\r\n",
        "GET /favicon.ico HTTP/1.1\r\n", "GET /?state HTTP/1.1\r\n",
        "GET http://127.0.0.1:49080/state HTTP/1.1\r\n", "GET\r\n", " \t \r\n", "", "\r\n", "\n"}) {
    EXPECT_EQ(route_request_line(line), Route::StatusPage) << line;
  }
}

TEST(RouteRequestLine, UnicodeWhiteSpaceSeparatesWords) {
  EXPECT_EQ(route_request_line("GET\t/state\tHTTP/1.1\r\n"), Route::Snapshot);
  EXPECT_EQ(route_request_line("  GET    /state   \n"), Route::Snapshot);
  for (const char* space : {"\u00a0", "\u1680", "\u2000", "\u200a", "\u2028", "\u2029", "\u202f",
                            "\u205f", "\u3000", "\u0085", "\x0b", "\x0c", "\r"}) {
    EXPECT_EQ(route_request_line(std::string("GET") + space + "/state"), Route::Snapshot) << space;
  }
  // Not white space: zero-width space, BOM, Mongolian vowel separator.
  for (const char* other : {"\u200b", "\ufeff", "\u180e"}) {
    EXPECT_EQ(route_request_line(std::string("GET") + other + "/state"), Route::StatusPage);
  }
  RequestWords words = split_request_line("\u3000GET\u00a0\u00a0/x?y HTTP/1.1\r\n");
  EXPECT_EQ(words.method, "GET");
  EXPECT_EQ(words.target, "/x?y");
}

// Splitting is public and may meet text that was never validated: a
// sequence cut short by the end of the text is one ordinary character, and
// nothing past the end is read (the asan preset checks that). Such a tail
// once sent the reader past the end, so that taking the next word threw.
TEST(RouteRequestLine, SequenceCutShortAtTheEndIsNoWhiteSpace) {
  for (std::string tail : {"\xe3\x80", "\xe3", "\xf0\x9f\x98", "\xf4", "\xc2"}) {
    std::string line = "GET " + tail;
    RequestWords words = split_request_line(line);
    EXPECT_EQ(words.method, "GET");
    EXPECT_EQ(words.target, tail);
  }
}

TEST(Utf8, StrictValidation) {
  EXPECT_TRUE(is_valid_utf8("GET /\u00e9\u20ac\U0001f600 HTTP/1.1\r\n"));
  for (const char* bad : {"\xff", "\x80", "\xc0\xaf", "\xc1\xbf", "\xe0\x80\xaf", "\xed\xa0\x80",
                          "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xe2\x82", "\xc3"}) {
    EXPECT_FALSE(is_valid_utf8(bad)) << bad;
  }
}

TEST(ReadRequestHead, LinesAndStopConditions) {
  std::string request = "GET /state HTTP/1.1\r\nHost: x\r\nAccept: */*\r\n\r\nBODY";
  for (std::size_t chunk : {1, 3, 8192}) {
    ScriptedSource source(request, chunk);
    EXPECT_EQ(read_request_head(source), "GET /state HTTP/1.1\r\n");
    EXPECT_LE(source.consumed(), request.size());
  }
  // No body is read: with byte-sized reads the head ends right at its blank line.
  ScriptedSource bytewise(request, 1);
  read_request_head(bytewise);
  EXPECT_EQ(bytewise.consumed(), request.size() - 4);

  EXPECT_EQ(head("GET /state\nA: b\n\n"), "GET /state\n");
  EXPECT_EQ(head(""), "");
  EXPECT_EQ(head("GET /sta"), "GET /sta");  // The stream ended inside the line.
  EXPECT_EQ(head("\r\nGET /state HTTP/1.1\r\n\r\n"), "\r\n");
  // Failures while reading headers still get an answer.
  EXPECT_EQ(head("GET /state HTTP/1.1\r\nHost: x", 8192, true), "GET /state HTTP/1.1\r\n");
  EXPECT_EQ(head("GET /state HTTP/1.1\r\nX: \xff\xfe\r\nmore"), "GET /state HTTP/1.1\r\n");
}

TEST(ReadRequestHead, RequestLineFailuresGetNoAnswer) {
  EXPECT_FALSE(head("", 8192, true));
  EXPECT_FALSE(head("GET /st", 8192, true));
  EXPECT_FALSE(head("GET /\xff HTTP/1.1\r\n\r\n"));
  EXPECT_FALSE(head("GET /\xc3"));  // Cut inside a character by the end of the stream.
}

TEST(ReadRequestHead, HeadSizeIsCapped) {
  EXPECT_FALSE(head(std::string(MAX_REQUEST_HEAD + 1, 'a')));
  std::string big_headers = "GET /state HTTP/1.1\r\n";
  while (big_headers.size() < MAX_REQUEST_HEAD)
    big_headers += "X-Filler: 0123456789abcdef\r\n";
  EXPECT_FALSE(head(big_headers + "\r\n"));
  // Just under the cap is fine.
  std::string fits = "GET /state HTTP/1.1\r\n";
  fits += "X: " + std::string(MAX_REQUEST_HEAD - fits.size() - 7, 'y') + "\r\n\r\n";
  ASSERT_EQ(fits.size(), MAX_REQUEST_HEAD);
  EXPECT_EQ(head(fits), "GET /state HTTP/1.1\r\n");
}

TEST(EventStream, SendDecision) {
  MonotonicInstant sent = MonotonicInstant{} + std::chrono::hours(1);
  EXPECT_TRUE(event_due(1, 0, sent, sent));
  EXPECT_TRUE(event_due(0, ~std::uint64_t{0}, sent, sent));
  EXPECT_FALSE(event_due(5, 5, sent, sent + std::chrono::milliseconds(999)));
  EXPECT_TRUE(event_due(5, 5, sent, sent + std::chrono::seconds(1)));
  EXPECT_FALSE(event_due(5, 5, sent, sent - std::chrono::seconds(5)));
}

// The passes of a stream on a hand-stepped clock, one every STREAM_TICK:
// the passes that send, for a reply count that follows `count_at`.
template <class CountAt>
std::vector<int> sending_passes(int passes, CountAt count_at) {
  StreamPace pace;
  std::vector<int> sent;
  for (int pass = 0; pass < passes; ++pass) {
    MonotonicInstant now = MonotonicInstant{} + std::chrono::hours(1) + pass * STREAM_TICK;
    std::uint64_t count = count_at(pass * STREAM_TICK);
    if (pace.due(count, now)) {
      pace.sent(count, now);
      sent.push_back(pass);
    }
  }
  return sent;
}

TEST(EventStream, FirstPassSendsThenTheFeedOrTheHeartbeatPaces) {
  // Silent: the snapshot at once, then every sixth pass (1.08 s).
  EXPECT_EQ(sending_passes(19, [](auto) { return 7u; }), (std::vector<int>{0, 6, 12, 18}));
  // A 5 Hz feed: each new reply in an event of its own, at most one a pass;
  // a pass that finds no new reply (passes come every 180 ms) sends nothing.
  auto five_hertz =
      sending_passes(17, [](auto since) { return since / std::chrono::milliseconds(200); });
  EXPECT_EQ(five_hertz, (std::vector<int>{0, 2, 3, 4, 5, 6, 7, 8, 9, 10, 12, 13, 14, 15, 16}));
}

TEST(EventStream, HeaderBytes) {
  EXPECT_EQ(stream_header(),
            "HTTP/1.1 200 OK\r\n"
            "Access-Control-Allow-Origin: *\r\n"
            "Access-Control-Allow-Methods: GET, OPTIONS\r\n"
            "Access-Control-Allow-Headers: *\r\n"
            "Access-Control-Allow-Private-Network: true\r\n"
            "Content-Type: text/event-stream\r\n"
            "Cache-Control: no-cache\r\n"
            "Connection: keep-alive\r\n"
            "\r\n"
            "retry: 2000\n\n");
}

TEST(FixedAnswers, ExactBytes) {
  const std::string cors = std::string(CORS_HEADERS);
  EXPECT_EQ(cors.size(), 153u);
  EXPECT_EQ(STATUS_BODY.size(), 95u);
  {
    SocketPair pair = connected_pair();
    write_preflight(pair.server);
    std::string bytes = pair.read_all_from_client();
    EXPECT_EQ(bytes, "HTTP/1.1 204 No Content\r\n" + cors +
                         "Connection: close\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(bytes.size(), 218u);
  }
  {
    SocketPair pair = connected_pair();
    write_status_page(pair.server);
    EXPECT_EQ(pair.read_all_from_client(),
              "HTTP/1.1 200 OK\r\n" + cors + "Connection: close\r\n" +
                  "Content-Type: text/plain; charset=utf-8\r\nContent-Length: 95\r\n\r\n" +
                  std::string(STATUS_BODY));
  }
  {
    SocketPair pair = connected_pair();
    FlightState state;
    write_snapshot(pair.server, state);
    EXPECT_EQ(pair.read_all_from_client(),
              "HTTP/1.1 200 OK\r\n" + cors + "Connection: close\r\n" +
                  "Content-Type: application/json\r\nContent-Length: 12\r\n\r\n{\"xp\":false}");
  }
}

TEST(FixedAnswers, WritingToAVanishedClientFailsQuietly) {
  SocketPair pair = connected_pair();
  pair.client.close();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  for (int i = 0; i < 3; ++i)
    write_status_page(pair.server);  // Must not raise SIGPIPE.
  EXPECT_FALSE(send_all(pair.server, std::string(1 << 20, 'x')));
}

}  // namespace
}  // namespace simrelay
