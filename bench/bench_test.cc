// The bench's own arithmetic and formatting: a mistake here would make
// every figure in the table wrong without any error.
#include <gtest/gtest.h>

#include <cstdlib>

#include <string>
#include <vector>

#include "http.h"
#include "nginx_server.h"
#include "options.h"
#include "report.h"
#include "state_vs_nginx.h"
#include "stats.h"

namespace simrelay::bench {
namespace {

using support::make_http_target;

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
  // CI installs nginx: there a missing one is a failure, not a skip.
  if (!nginx && std::getenv("CI") != nullptr) FAIL() << why;
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
