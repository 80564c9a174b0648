// A wrong event-stream parser would make every stream figure wrong silently.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sse.h"

namespace simrelay::support {
namespace {

std::vector<std::string> events_of(SseReader& reader, const std::vector<std::string>& chunks) {
  std::vector<std::string> events;
  for (const std::string& chunk : chunks)
    reader.feed(chunk, [&](std::string_view data) { events.emplace_back(data); });
  return events;
}

constexpr const char* STREAM_HEAD =
    "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n\r\nretry: 2000\n\n";

TEST(SseReader, SplitsEventsWhereverTheBytesBreak) {
  std::string bytes = std::string(STREAM_HEAD) + "data: {\"xp\":false}\n\ndata: {\"a\":1}\n\n";
  for (std::size_t cut = 1; cut < bytes.size(); ++cut) {
    SseReader reader;
    auto events = events_of(reader, {bytes.substr(0, cut), bytes.substr(cut)});
    ASSERT_EQ(events, (std::vector<std::string>{"{\"xp\":false}", "{\"a\":1}"})) << cut;
    EXPECT_TRUE(reader.head_done());
  }
}

TEST(SseReader, FollowsTheEventStreamFieldRules) {
  SseReader reader;
  auto events = events_of(reader, {STREAM_HEAD,
                                   ": comment\n\n"  // No data: no event.
                                   "event: x\ndata:a\ndata: b\r\n\r\n"
                                   "data\n\n"  // Empty data still dispatches.
                                   "data: unfinished\n"});
  EXPECT_EQ(events, (std::vector<std::string>{"a\nb", ""}));
}

TEST(SseReader, RefusesAnAnswerThatIsNotOk) {
  SseReader reader;
  auto events = events_of(reader, {"HTTP/1.1 404 Not Found\r\n\r\ndata: x\n\n"});
  EXPECT_TRUE(reader.failed());
  EXPECT_TRUE(events.empty());
  EXPECT_TRUE(is_ok_status_line("HTTP/1.0 200 OK"));
  EXPECT_TRUE(is_ok_status_line("HTTP/1.1 200"));
  EXPECT_FALSE(is_ok_status_line("HTTP/1.1 2000 OK"));
  EXPECT_FALSE(is_ok_status_line("HTTP/1.1 204 No Content"));
}

}  // namespace
}  // namespace simrelay::support
