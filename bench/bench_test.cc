// The harness's own parsing and arithmetic: a wrong parser here would make
// every figure in the table wrong without any error.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fake_xplane.h"
#include "http.h"
#include "nginx_server.h"
#include "options.h"
#include "proc_stats.h"
#include "report.h"
#include "sse.h"
#include "state_vs_nginx.h"
#include "stats.h"
#include "xplane.h"

namespace simrelay::bench {
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

TEST(ProcStats, ReadsCpuTicksPastACommandNameWithSpacesAndParentheses) {
  std::string stat =
      "4242 (sim relay) (x)) S 1 4242 4242 0 -1 4194560 120 0 0 0 "
      "37 12 0 0 20 0 3 0 100 1000 200";
  EXPECT_EQ(parse_stat_cpu_ticks(stat), 49u);
  EXPECT_EQ(parse_stat_cpu_ticks("4242 (short) S 1 2"), std::nullopt);
}

TEST(ProcStats, ReadsNamedStatusValues) {
  std::string status = "Name:\tsimrelay\nVmRSSx:\t1 kB\nVmRSS:\t    3456 kB\nThreads:\t1003\n";
  EXPECT_EQ(parse_status_value(status, "VmRSS"), 3456u);
  EXPECT_EQ(parse_status_value(status, "Threads"), 1003u);
  EXPECT_EQ(parse_status_value(status, "VmHWM"), std::nullopt);
}

TEST(Stats, TakesNearestRankPercentiles) {
  std::vector<double> samples;
  for (int i = 100; i >= 1; --i)
    samples.push_back(i);
  EXPECT_EQ(percentile(samples, 50), 50);
  EXPECT_EQ(percentile(samples, 99), 99);
  EXPECT_EQ(percentile(samples, 100), 100);
  std::vector<double> one = {7};
  EXPECT_EQ(percentile(one, 1), 7);
  std::vector<double> none;
  EXPECT_EQ(percentile(none, 99), 0);
}

TEST(FakeXPlane, RepliesCarryTheSequenceAsAltitude) {
  std::vector<char> reply = build_reply(123456);
  auto decoded = decode_rref_reply(reply);
  ASSERT_TRUE(decoded);
  ASSERT_EQ(decoded->size(), 8u);
  EXPECT_EQ((*decoded)[2].index, 2u);
  EXPECT_EQ((*decoded)[2].value, 123456.0f);
  EXPECT_EQ(sequence_in_snapshot(R"({"xp":true,"t":5,"lat":1.5,"alt":123456,"hdg":2})"), 123456u);
  EXPECT_EQ(sequence_in_snapshot(R"({"xp":false})"), std::nullopt);
}

TEST(Options, TakesValuesAndRejectsWhatItDoesNotKnow) {
  auto options = Options::parse({"state", "--port", "8080", "--path", "/x", "--check"});
  ASSERT_TRUE(options);
  EXPECT_EQ(options->command(), "state");
  EXPECT_EQ(options->number("--port"), 8080u);
  EXPECT_EQ(options->text("--path", "/state"), "/x");
  EXPECT_EQ(options->number("--clients", 50), 50u);
  EXPECT_TRUE(options->flag("--check"));
  EXPECT_FALSE(Options::parse({"state", "--port"}));
  EXPECT_FALSE(Options::parse({"state", "--port", "80x"}));
  EXPECT_FALSE(Options::parse({"state", "--colour", "red"}));
}

TEST(Report, FormatsFiguresAndVerdicts) {
  EXPECT_EQ(with_thousands(0), "0");
  EXPECT_EQ(with_thousands(1234567), "1,234,567");
  EXPECT_EQ(with_thousands(999), "999");
  Rows rows = {{"g", "a", "1", "< 2", true},
               {"g", "b", "3", "< 2", false},
               {"h", "c", "4", "", std::nullopt}};
  EXPECT_FALSE(all_met(rows));
  std::string table = format_table(rows);
  EXPECT_NE(table.find("| g | a | 1 | < 2 | yes |"), std::string::npos);
  EXPECT_NE(table.find("|  | b | 3 | < 2 | **no** |"), std::string::npos);  // Group shown once.
  EXPECT_NE(table.find("| h | c | 4 |  |  |"), std::string::npos);
  EXPECT_TRUE(all_met({rows[0], rows[2]}));
}

// The yardstick must carry what the bridge's answer carries, or the ratio
// compares unlike work.
TEST(Nginx, AnswersStateWithTheBridgesHeadersAndBytes) {
  const std::string body = R"({"xp":true,"t":1700000000123,"lat":47.5,"lon":8.25})";
  std::string why;
  auto nginx = NginxServer::start(body, why);
  if (!nginx) GTEST_SKIP() << why;
  auto answer = fetch_answer(*make_http_target("127.0.0.1", nginx->port(), "/state"));
  ASSERT_TRUE(answer);
  EXPECT_TRUE(answer->starts_with("HTTP/1.1 200 OK\r\n")) << *answer;
  std::string_view cors = CORS_HEADERS;
  for (std::size_t end; (end = cors.find("\r\n")) != std::string_view::npos;) {
    EXPECT_NE(answer->find(cors.substr(0, end + 2)), std::string::npos) << cors.substr(0, end);
    cors.remove_prefix(end + 2);
  }
  std::string length = "Content-Length: " + std::to_string(body.size()) + "\r\n";
  for (std::string_view line : {"Content-Type: application/json\r\n", "Connection: close\r\n"}) {
    EXPECT_NE(answer->find(line), std::string::npos) << line;
  }
  EXPECT_NE(answer->find(length), std::string::npos) << *answer;
  EXPECT_TRUE(answer->ends_with("\r\n\r\n" + body));
}

}  // namespace
}  // namespace simrelay::bench
