#include "config.h"

#include <gtest/gtest.h>

namespace simrelay {
namespace {

CommandLine parse(std::vector<std::string> items) {
  return parse_command_line(std::move(items));
}

BridgeConfig config(std::string host, std::uint16_t port) {
  return BridgeConfig{host, port};
}

TEST(ParseCommandLine, DefaultsAndPortPlacement) {
  EXPECT_EQ(parse({}), CommandLine(config("127.0.0.1", 49080)));
  EXPECT_EQ(parse({"--port", "8080"}), CommandLine(config("127.0.0.1", 8080)));
  EXPECT_EQ(parse({"10.0.0.5", "--port", "8080"}), CommandLine(config("10.0.0.5", 8080)));
  EXPECT_EQ(parse({"--port", "8080", "10.0.0.5"}), CommandLine(config("10.0.0.5", 8080)));
  EXPECT_EQ(parse({"alpha", "beta", "gamma"}), CommandLine(config("alpha", 49080)));
}

TEST(ParseCommandLine, InvalidPortValuesFallBackSilently) {
  for (const char* value :
       {"abc", "-1", "65536", "80 80", "", "+", "++80", "8080x", " 80", "99999999999999999999"}) {
    EXPECT_EQ(parse({"--port", value}), CommandLine(config("127.0.0.1", 49080))) << value;
  }
  EXPECT_EQ(parse({"--port", "+8080"}), CommandLine(config("127.0.0.1", 8080)));
  EXPECT_EQ(parse({"--port", "0"}), CommandLine(config("127.0.0.1", 0)));
  EXPECT_EQ(parse({"--port", "08080"}), CommandLine(config("127.0.0.1", 8080)));
  EXPECT_EQ(parse({"--port", "65535"}), CommandLine(config("127.0.0.1", 65535)));
}

TEST(ParseCommandLine, PortOptionEdgeCases) {
  // A trailing --port is an ordinary item and so becomes the host.
  EXPECT_EQ(parse({"--port"}), CommandLine(config("--port", 49080)));
  // The item after --port is its value whatever it holds.
  EXPECT_EQ(parse({"--port", "--help"}), CommandLine(config("127.0.0.1", 49080)));
  EXPECT_EQ(parse({"--port", "1", "--port", "2"}), CommandLine(config("--port", 1)));
  EXPECT_EQ(parse({"--PORT", "8080"}), CommandLine(config("--PORT", 49080)));
  EXPECT_EQ(parse({"--port=8080"}), CommandLine(config("--port=8080", 49080)));
}

TEST(ParseCommandLine, HelpAnywhereAfterThePortOption) {
  for (std::vector<std::string> items : std::vector<std::vector<std::string>>{
           {"-h"}, {"--help"}, {"myhost", "--help"}, {"--port", "8080", "-h"}}) {
    EXPECT_EQ(parse(items), CommandLine(UsageRequest{})) << items.front();
  }
  EXPECT_EQ(parse({"--HELP"}), CommandLine(config("--HELP", 49080)));
  EXPECT_EQ(parse({"-help"}), CommandLine(config("-help", 49080)));
}

TEST(ParseCommandLine, HostIsKeptExactlyAsTyped) {
  EXPECT_EQ(parse({" My-Host "}), CommandLine(config(" My-Host ", 49080)));
  EXPECT_EQ(parse({"flügel"}), CommandLine(config("flügel", 49080)));
}

TEST(Ipv4Literal, StrictDottedDecimal) {
  using Address = std::array<std::uint8_t, 4>;
  EXPECT_EQ(parse_ipv4_literal("127.0.0.1"), (Address{127, 0, 0, 1}));
  EXPECT_EQ(parse_ipv4_literal("255.255.255.255"), (Address{255, 255, 255, 255}));
  for (const char* text : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "01.2.3.4", "1..2.3", "1.2.3.4 ",
                           "a.b.c.d", "1.2.3.-4", "1234.1.1.1", "127.0.0.1:49000"}) {
    EXPECT_FALSE(parse_ipv4_literal(text)) << text;
  }
}

TEST(ResolveXplaneEndpoint, LiteralsAndNames) {
  EXPECT_EQ(resolve_xplane_endpoint("127.0.0.1"), (Ipv4Endpoint{{127, 0, 0, 1}, 49000}));
  EXPECT_EQ(resolve_xplane_endpoint("10.0.0.5"), (Ipv4Endpoint{{10, 0, 0, 5}, 49000}));
  EXPECT_FALSE(resolve_xplane_endpoint("::1"));  // IPv6 is never used.
  EXPECT_FALSE(resolve_xplane_endpoint("127.0.0.1:49000"));
  EXPECT_FALSE(resolve_xplane_endpoint("no.such.host.invalid"));
  EXPECT_FALSE(resolve_xplane_endpoint(""));
  auto local = resolve_xplane_endpoint("localhost");
  ASSERT_TRUE(local);
  EXPECT_EQ(local->port, 49000);
  EXPECT_EQ(local->address[0], 127);
}

}  // namespace
}  // namespace simrelay
