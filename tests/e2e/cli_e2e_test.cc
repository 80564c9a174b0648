// The bridge's start-up as a user sees it: console lines, exit status, the
// pause after a failed start.
#include <gtest/gtest.h>
#include <signal.h>

#include <memory>

#include "bridge_process.h"
#include "fake_xplane.h"
#include "full_pipe.h"
#include "http_client.h"

namespace simrelay::e2e {
namespace {

using namespace support;

const std::string PROMPT = "Press Enter to close.";

TEST(CommandLine, UsageLineOnlyAndExitZero) {
  for (std::vector<std::string> arguments :
       std::vector<std::vector<std::string>>{{"--help"}, {"-h"}, {"myhost", "--help"}}) {
    BridgeProcess bridge(arguments);
    EXPECT_EQ(bridge.wait_exit(start_timeout()), 0);
    EXPECT_EQ(bridge.stdout_bytes(), "usage: simrelay [xplane-host] [--port 49080]\n");
    EXPECT_EQ(bridge.stderr_bytes(), "");
  }
}

TEST(StartUp, UnresolvableHostPausesThenExitsOne) {
  BridgeProcess bridge({"no.such.host.invalid", "--port", std::to_string(free_tcp_port())});
  ASSERT_TRUE(bridge.wait_stderr_line(PROMPT, start_timeout()));
  // It waits for Enter (or the end of input) before it exits.
  EXPECT_FALSE(bridge.wait_exit(milliseconds(500)));
  bridge.close_stdin();
  EXPECT_EQ(bridge.wait_exit(start_timeout()), 1);
  EXPECT_EQ(bridge.stdout_bytes(), "");
  EXPECT_EQ(bridge.stderr_bytes(),
            "✗ cannot resolve X-Plane host 'no.such.host.invalid'\n" + PROMPT + "\n");
}

// Quotes, backslashes, blanks and letters beyond ASCII reach the bridge as
// typed: on Windows it splits its own command line.
TEST(CommandLine, HostReachesTheBridgeAsTyped) {
  const std::vector<std::string> hosts{"flugplatz-zürich.ホスト.invalid",
                                       "a \"quoted\" host.invalid", R"(back\slash\" \)", ""};
  std::vector<std::unique_ptr<BridgeProcess>> bridges;
  for (const std::string& host : hosts) {
    bridges.push_back(std::make_unique<BridgeProcess>(
        std::vector<std::string>{host, "--port", std::to_string(free_tcp_port())}));
    bridges.back()->close_stdin();
  }
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    EXPECT_EQ(bridges[i]->wait_exit(start_timeout()), 1) << hosts[i];
    EXPECT_EQ(bridges[i]->stderr_bytes(),
              "✗ cannot resolve X-Plane host '" + hosts[i] + "'\n" + PROMPT + "\n");
  }
}

TEST(StartUp, TrailingPortOptionBecomesTheHost) {
  BridgeProcess bridge({"--port"});
  ASSERT_TRUE(bridge.wait_stderr_line(PROMPT, start_timeout()));
  bridge.write_stdin("typed text\n");
  EXPECT_EQ(bridge.wait_exit(start_timeout()), 1);
  EXPECT_EQ(bridge.stderr_bytes(), "✗ cannot resolve X-Plane host '--port'\n" + PROMPT + "\n");
}

TEST(StartUp, BannerAndReadyLines) {
  FakeXPlane xplane = FakeXPlane::open(E2E_XPLANES).value();
  std::uint16_t port = free_tcp_port();
  BridgeProcess bridge({xplane.host(), "--port", std::to_string(port)});
  ASSERT_TRUE(bridge.wait_ready());
  auto lines = bridge.stdout_lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0].text, "Corvane X-Plane bridge 1.0.0");
  EXPECT_EQ(lines[1].text, "→ asking X-Plane at " + xplane.host() + ":49000 for position (5 Hz)");
  EXPECT_EQ(lines[2].text, "✓ bridge ready on http://localhost:" + std::to_string(port) +
                               " — enable \"X-Plane live\" on the map. Close this window to stop.");
  EXPECT_EQ(bridge.stderr_bytes(), "");
  EXPECT_TRUE(HttpClient(port).connected());
}

TEST(StartUp, BusyPortFailsAfterTheBanner) {
  FakeXPlane xplane = FakeXPlane::open(E2E_XPLANES).value();
  std::uint16_t port = free_tcp_port();
  BridgeProcess first({xplane.host(), "--port", std::to_string(port)});
  ASSERT_TRUE(first.wait_ready());

  BridgeProcess second({xplane.host(), "--port", std::to_string(port)});
  ASSERT_TRUE(second.wait_stderr_line(PROMPT, start_timeout()));
  auto errors = second.stderr_lines();
  ASSERT_EQ(errors.size(), 2u);
  std::string expected_start = "✗ cannot open http://localhost:" + std::to_string(port) + ": ";
  EXPECT_EQ(errors[0].text.rfind(expected_start, 0), 0u) << errors[0].text;
  EXPECT_NE(errors[0].text.find("(os error "), std::string::npos) << errors[0].text;
  EXPECT_TRUE(errors[0].text.ends_with(") (is the bridge already running?)")) << errors[0].text;
  ASSERT_TRUE(second.wait_stdout_line(
      "→ asking X-Plane at " + xplane.host() + ":49000 for position (5 Hz)", start_timeout()));
  auto lines = second.stdout_lines();
  EXPECT_EQ(lines[0].text, "Corvane X-Plane bridge 1.0.0");
  // Its subscriber runs during the pause: the fake X-Plane hears from both.
  second.close_stdin();
  EXPECT_EQ(second.wait_exit(start_timeout()), 1);
}

// A console that takes nothing (a window paused by a click, a pipe nobody
// reads) still gets the reason and the prompt before the bridge ends, even
// when the input has ended already.
TEST(StartUp, FatalLineAndPromptWaitForAFullStandardError) {
  FakeXPlane xplane = FakeXPlane::open(E2E_XPLANES).value();
  std::uint16_t port = free_tcp_port();
  SocketResult holder = open_tcp_listener({{127, 0, 0, 1}, port}, 1);
  ASSERT_TRUE(holder.socket.valid()) << os_error_text(holder.error);
  FullPipe stderr_pipe;
  BridgeProcess bridge({xplane.host(), "--port", std::to_string(port)}, bridge_command(),
                       stderr_pipe.wrapper(2));
  bridge.close_stdin();
  // Its listener fails right after this line.
  ASSERT_TRUE(bridge.wait_stdout_line(
      "→ asking X-Plane at " + xplane.host() + ":49000 for position (5 Hz)", start_timeout()));
  EXPECT_FALSE(bridge.wait_exit(milliseconds(under_wine() ? 3000 : 1000)))
      << "ended without writing its reason";
  std::string errors = stderr_pipe.drain_lines(2, start_timeout());
  std::string reason = "✗ cannot open http://localhost:" + std::to_string(port) + ": ";
  EXPECT_EQ(errors.rfind(reason, 0), 0u) << errors;
  EXPECT_TRUE(errors.ends_with(" (is the bridge already running?)\n" + PROMPT + "\n")) << errors;
  EXPECT_EQ(bridge.wait_exit(start_timeout()), 1);
}

// The connections a bridge closed linger on its port for a while (TIME_WAIT);
// a bridge started again at once must still get the port.
TEST(StartUp, RestartRightAfterServingGetsThePort) {
  FakeXPlane xplane = FakeXPlane::open(E2E_XPLANES).value();
  std::uint16_t port = free_tcp_port();
  const std::vector<std::string> arguments{xplane.host(), "--port", std::to_string(port)};
  auto first = std::make_unique<BridgeProcess>(arguments);
  ASSERT_TRUE(first->wait_ready());
  for (int i = 0; i < 300; ++i)
    ASSERT_EQ(body_of(http_exchange(port, "GET /state HTTP/1.1\r\n\r\n")), R"({"xp":false})");
  HttpClient stream(port);
  stream.send("GET /stream HTTP/1.1\r\n\r\n");
  ASSERT_NE(stream.read_until_count("data: ", 1, start_timeout()).find("data: "),
            std::string::npos);
  kill(first->pid(), SIGTERM);
  ASSERT_TRUE(first->wait_exit(start_timeout()));
  first.reset();

  BridgeProcess again(arguments);
  ASSERT_TRUE(again.wait_ready()) << again.stderr_bytes();
  EXPECT_EQ(again.stderr_bytes(), "");
  EXPECT_EQ(body_of(http_exchange(port, "GET /state HTTP/1.1\r\n\r\n")), R"({"xp":false})");
}

TEST(StartUp, PortZeroIsShownAsConfigured) {
  FakeXPlane xplane = FakeXPlane::open(E2E_XPLANES).value();
  BridgeProcess bridge({xplane.host(), "--port", "0"});
  ASSERT_TRUE(bridge.wait_ready());
  EXPECT_EQ(bridge.stdout_lines().back().text,
            "✓ bridge ready on http://localhost:0 — enable \"X-Plane live\" on the map. Close "
            "this window to stop.");
}

}  // namespace
}  // namespace simrelay::e2e
