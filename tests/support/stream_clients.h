// Many simultaneous Server-Sent Events clients on one thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "http_target.h"
#include "sse.h"
#include "state.h"
#include "tcp_client.h"

namespace simrelay::support {

class StreamClients {
 public:
  // Called for every event with the client's number, the event's data and
  // the moment it was read.
  using EventHook =
      std::function<void(std::size_t client, std::string_view data, MonotonicInstant at)>;

  StreamClients(const HttpTarget& target, std::size_t count, EventHook hook = {});

  // Opens every stream, at most `parallel` still waiting for their first
  // event at any time and each at least `spacing` after the one before,
  // until all have one or `timeout` has passed. Returns how many got their
  // first event.
  std::size_t connect_all(std::size_t parallel, std::chrono::milliseconds timeout,
                          std::chrono::microseconds spacing = {});

  // Reads whatever arrives for this long.
  void run_for(std::chrono::milliseconds duration);

  // Events received so far by each client.
  std::vector<std::uint64_t> event_counts() const;
  // Clients whose stream broke (refused, closed, not status 200).
  std::size_t failed_count() const;
  // Clients whose stream has brought an event and is still open.
  std::size_t open_count() const;

 private:
  struct Client {
    Socket socket;
    SseReader reader;
    std::uint64_t events = 0;
    bool request_sent = false;
    bool failed = false;
  };

  void start(std::size_t index);
  void poll_once(int timeout_ms);
  void on_event(std::size_t index, std::uint32_t events);
  void read_stream(std::size_t index);
  void fail(std::size_t index);

  HttpTarget target_;
  std::string request_;
  std::vector<Client> clients_;
  EventHook hook_;
  EpollSet epoll_;
  std::size_t started_ = 0;
  std::size_t waiting_ = 0;  // Started, neither failed nor with an event yet.
};

}  // namespace simrelay::support
