// A plain blocking HTTP client connection to the bridge on 127.0.0.1, for
// tests that care about exact bytes, timing and misbehaving clients.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "platform.h"

namespace simrelay::support {

using std::chrono::milliseconds;

class HttpClient {
 public:
  explicit HttpClient(std::uint16_t port);
  bool connected() const { return socket_.valid(); }
  bool send(std::string_view bytes);
  // Reads until the bridge closes the connection or `timeout` passes.
  std::string read_until_closed(milliseconds timeout);
  // Reads until the received bytes hold `count` occurrences of `marker`.
  std::string read_until_count(const std::string& marker, std::size_t count, milliseconds timeout);
  // The last read ended because the bridge closed or reset the connection.
  bool peer_closed() const { return peer_closed_; }
  // Half-closes: the bridge sees the end of the request stream.
  void end_sending();
  // Closes with a reset instead of an orderly close.
  void reset();

 private:
  // One receive of up to `wait`: bytes appended, false once the peer closed.
  bool receive_into(std::string& all, milliseconds wait);

  Socket socket_;
  bool peer_closed_ = false;
};

// A connection made as soon as the bridge listens, trying until `timeout`
// passes; unconnected after that.
HttpClient connect_when_listening(std::uint16_t port, milliseconds timeout);

// One whole exchange: sends `request`, returns everything until the close.
std::string http_exchange(std::uint16_t port, std::string_view request,
                          milliseconds timeout = milliseconds(5000));

// The body after the blank line of an answer.
std::string body_of(const std::string& answer);

}  // namespace simrelay::support
