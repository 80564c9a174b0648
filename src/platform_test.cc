// The platform seam's promises, checked the same way on every system (the
// Windows build runs these under Wine): failures come back as results, an
// oversize datagram is dropped whole, gathered sends arrive in order.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "platform.h"
#include "sockets.h"

namespace simrelay {
namespace {

using namespace std::chrono_literals;

// Fake peers live on their own loopback addresses, away from other tests.
constexpr std::array<std::uint8_t, 4> RECEIVER_ADDRESS{127, 0, 0, 201};
constexpr std::array<std::uint8_t, 4> SENDER_ADDRESS{127, 0, 0, 200};
constexpr std::array<std::uint8_t, 4> CLOSED_ADDRESS{127, 0, 0, 202};
// Generous: the machine is shared and Wine is slow to start threads.
constexpr std::uint32_t PATIENT_MS = 10000;

class PlatformTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { platform_init(); }

  static Socket udp_at(std::array<std::uint8_t, 4> address) {
    SocketResult result = open_udp_socket_at({address, 0});
    EXPECT_TRUE(result.socket.valid()) << os_error_text(result.error);
    return std::move(result.socket);
  }

  static Ipv4Endpoint endpoint_of(const Socket& socket, std::array<std::uint8_t, 4> address) {
    return {address, local_port(socket).value_or(0)};
  }

  static bool ends_with(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
  }
};

TEST_F(PlatformTest, HeldPortMakesSecondListenerFailWithTheSystemsText) {
  SocketResult first = open_tcp_listener({{127, 0, 0, 1}, 0}, 4);
  ASSERT_TRUE(first.socket.valid()) << os_error_text(first.error);
  std::uint16_t port = local_port(first.socket).value_or(0);
  ASSERT_NE(port, 0);

  SocketResult second = open_tcp_listener({{127, 0, 0, 1}, port}, 4);
  EXPECT_FALSE(second.socket.valid());
  ASSERT_NE(second.error, 0);
  std::string text = os_error_text(second.error);
  std::string suffix = " (os error " + std::to_string(second.error) + ")";
  EXPECT_TRUE(ends_with(text, suffix)) << text;
  // The system's own line end is trimmed: the message stays on one line.
  EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
  ASSERT_GT(text.size(), suffix.size()) << text;
  EXPECT_NE(text[text.size() - suffix.size() - 1], ' ') << text;
}

TEST_F(PlatformTest, UnknownErrorCodeStillNamesItsNumber) {
  std::string text = os_error_text(123456789);
  EXPECT_TRUE(ends_with(text, " (os error 123456789)")) << text;
  EXPECT_GT(text.size(), std::string_view(" (os error 123456789)").size()) << text;
}

TEST_F(PlatformTest, OversizeDatagramIsDroppedWholeAndTheNextOneArrives) {
  Socket receiver = udp_at(RECEIVER_ADDRESS);
  Socket sender = udp_at(SENDER_ADDRESS);
  ASSERT_TRUE(set_receive_timeout(receiver, PATIENT_MS));
  Ipv4Endpoint to = endpoint_of(receiver, RECEIVER_ADDRESS);

  std::string oversize = "RREF" + std::string(2996, 'x');
  std::string exact = "RREF" + std::string(2044, 'y');
  std::string small = "RREF!";
  ASSERT_TRUE(send_datagram(sender, to, oversize));
  ASSERT_TRUE(send_datagram(sender, to, exact));
  ASSERT_TRUE(send_datagram(sender, to, small));

  std::array<char, 2048> buffer{};
  Ipv4Endpoint from;
  EXPECT_EQ(receive_datagram(receiver, buffer, &from), std::nullopt);
  EXPECT_EQ(receive_datagram(receiver, buffer, &from), std::optional<std::size_t>(2048));
  EXPECT_EQ(std::string_view(buffer.data(), 2048), exact);
  EXPECT_EQ(receive_datagram(receiver, buffer, &from), std::optional<std::size_t>(5));
  EXPECT_EQ(std::string_view(buffer.data(), 5), small);
  // Wine sends from a loopback socket bound to one address with 127.0.0.1
  // as source, so only the port and the network are compared.
  EXPECT_EQ(from.port, local_port(sender));
  EXPECT_EQ(from.address[0], 127);
}

TEST_F(PlatformTest, DatagramSocketKeepsWorkingAfterSendToClosedPortAndTimeOut) {
  Ipv4Endpoint closed;
  {
    Socket gone = udp_at(CLOSED_ADDRESS);
    closed = endpoint_of(gone, CLOSED_ADDRESS);
  }
  Socket socket = udp_at(RECEIVER_ADDRESS);
  ASSERT_TRUE(set_receive_timeout(socket, 100));
  std::array<char, 2048> buffer{};
  // Nobody listens: the reply is at most an ICMP unreachable, or nothing
  // until the time-out. Either way it is one failed receive.
  ASSERT_TRUE(send_datagram(socket, closed, std::string_view("RREF")));
  EXPECT_EQ(receive_datagram(socket, buffer), std::nullopt);
  EXPECT_EQ(receive_datagram(socket, buffer), std::nullopt);

  ASSERT_TRUE(set_receive_timeout(socket, PATIENT_MS));
  ASSERT_TRUE(send_datagram(socket, endpoint_of(socket, RECEIVER_ADDRESS), std::string_view("ok")));
  EXPECT_EQ(receive_datagram(socket, buffer), std::optional<std::size_t>(2));
}

TEST_F(PlatformTest, SendAllDeliversGatheredPiecesInOrder) {
  SocketPair pair = connected_pair();
  ASSERT_TRUE(set_no_delay(pair.server));
  // Larger than any socket buffer, so the send has to wait for the reader.
  std::string middle(4 << 20, '\0');
  for (std::size_t i = 0; i < middle.size(); ++i)
    middle[i] = static_cast<char>('a' + i % 26);
  std::string_view pieces[] = {"HTTP/1.1 200 OK\r\n", "", middle, "data: {}\n\n"};

  auto received = std::async(std::launch::async, [&client = pair.client] {
    std::string all;
    std::array<char, 65536> buffer;
    for (long n; (n = receive_some(client, buffer)) > 0;)
      all.append(buffer.data(), static_cast<std::size_t>(n));
    return all;
  });
  EXPECT_TRUE(send_all(pair.server, pieces));
  pair.server.close();
  std::string expected = std::string(pieces[0]) + middle + std::string(pieces[3]);
  std::string got = received.get();
  EXPECT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected);
}

// A send that takes part of what was due, or that a signal cuts short, is
// followed by the rest; a blocking send on a real socket rarely does either.
TEST(SendPieces, ShortAndInterruptedSendsStillDeliverEverythingInOrder) {
  const std::string_view pieces[] = {"HTTP/1.1 200 OK\r\n", "", "Content-Length: 2\r\n\r\n", "{}"};
  for (long step : {1L, 3L, 7L, 1000L}) {
    std::string wire;
    int calls = 0;
    bool sent = send_pieces(pieces, [&](std::span<const std::string_view> due) {
      if (++calls % 2 == 0) return SendAttempt{-1, true};
      long budget = step;
      for (std::string_view piece : due) {
        long taken = std::min<long>(budget, static_cast<long>(piece.size()));
        wire.append(piece.substr(0, static_cast<std::size_t>(taken)));
        budget -= taken;
      }
      return SendAttempt{step - budget, false};
    });
    EXPECT_TRUE(sent);
    EXPECT_EQ(wire, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}") << step;
  }
}

TEST(SendPieces, AFailedOrEmptySendEndsIt) {
  const std::string_view pieces[] = {"abc", "def"};
  int calls = 0;
  EXPECT_FALSE(send_pieces(pieces, [&](std::span<const std::string_view>) {
    return SendAttempt{++calls == 1 ? 4L : 0L, false};
  }));
  EXPECT_EQ(calls, 2);
  EXPECT_FALSE(send_pieces(pieces, [](auto) { return SendAttempt{-1, false}; }));
  std::string_view many[MAX_SEND_PIECES + 1];
  many[0] = "x";
  EXPECT_TRUE(send_pieces(std::span(many, MAX_SEND_PIECES), [](auto due) {
    return SendAttempt{static_cast<long>(due.front().size()), false};
  }));
  std::fill(std::begin(many), std::end(many), "x");
  EXPECT_FALSE(send_pieces(many, [](auto) { return SendAttempt{1, false}; }));
}

TEST_F(PlatformTest, ReceiveTellsEndOfStreamFromTimeOut) {
  SocketPair pair = connected_pair();
  ASSERT_TRUE(set_receive_timeout(pair.server, 100));
  std::array<char, 16> buffer{};
  EXPECT_EQ(receive_some(pair.server, buffer), -1);  // Nothing came in time.

  SocketPair other = connected_pair();
  ASSERT_TRUE(set_receive_timeout(other.server, PATIENT_MS));
  EXPECT_TRUE(send_all(other.client, "GET"));
  other.client.close();
  EXPECT_EQ(receive_some(other.server, buffer), 3);
  EXPECT_EQ(receive_some(other.server, buffer), 0);
}

TEST_F(PlatformTest, SendingToAVanishedPeerFailsWithoutEndingTheProcess) {
  SocketPair pair = connected_pair();
  pair.client.close();
  std::string chunk(64 * 1024, 'z');
  bool failed = false;
  // The first sends may still be taken by the system before it learns of
  // the reset; it has to notice within a few.
  for (int attempt = 0; attempt < 200 && !failed; ++attempt) {
    failed = !send_all(pair.server, chunk);
    if (!failed) std::this_thread::sleep_for(5ms);
  }
  EXPECT_TRUE(failed);
}

TEST_F(PlatformTest, ResolverGivesIpv4AddressesOnly) {
  using Address = std::array<std::uint8_t, 4>;
  const std::vector<Address> loopback{{127, 0, 0, 1}};
  EXPECT_EQ(resolve_ipv4_addresses("127.0.0.1"), loopback);
  EXPECT_TRUE(resolve_ipv4_addresses("::1").empty());
  EXPECT_TRUE(resolve_ipv4_addresses("").empty());
  std::vector<Address> local = resolve_ipv4_addresses("localhost");
  ASSERT_FALSE(local.empty());
  for (const Address& address : local)
    EXPECT_EQ(address[0], 127);
}

TEST_F(PlatformTest, DetachedThreadRunsItsCallableAndThenDropsIt) {
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> watch = token;
  std::promise<void> ran;
  std::future<void> done = ran.get_future();
  int error = start_detached_thread([token = std::move(token), &ran] { ran.set_value(); });
  ASSERT_EQ(error, 0) << os_error_text(error);
  ASSERT_EQ(done.wait_for(std::chrono::milliseconds(PATIENT_MS)), std::future_status::ready);
  // The thread owns its callable and destroys it once the body returns.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(PATIENT_MS);
  while (!watch.expired() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(watch.expired());
}

}  // namespace
}  // namespace simrelay
