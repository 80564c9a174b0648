#include "stream_clients.h"

#include <array>

#include "tcp_client.h"

namespace simrelay::support {

StreamClients::StreamClients(const HttpTarget& target, std::size_t count, EventHook hook)
    : target_(target),
      request_(get_request(target, true)),
      clients_(count),
      hook_(std::move(hook)) {}

std::size_t StreamClients::connect_all(std::size_t parallel, std::chrono::milliseconds timeout,
                                       std::chrono::microseconds spacing) {
  MonotonicInstant deadline = MonotonicClock::now() + timeout;
  MonotonicInstant next_start = MonotonicClock::now();
  for (MonotonicInstant now = next_start; now < deadline; now = MonotonicClock::now()) {
    while (started_ < clients_.size() && waiting_ < parallel && now >= next_start) {
      start(started_++);
      next_start = spacing.count() > 0 ? now + spacing : now;
    }
    if (started_ == clients_.size() && waiting_ == 0) break;
    poll_once(spacing.count() > 0 ? 1 : 20);
  }
  return open_count();
}

std::size_t StreamClients::open_count() const {
  std::size_t open = 0;
  for (const Client& client : clients_)
    open += client.events > 0 && !client.failed ? 1 : 0;
  return open;
}

void StreamClients::run_for(std::chrono::milliseconds duration) {
  MonotonicInstant deadline = MonotonicClock::now() + duration;
  for (MonotonicInstant now = MonotonicClock::now(); now < deadline; now = MonotonicClock::now()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    poll_once(static_cast<int>(left.count()) + 1);
  }
}

std::vector<std::uint64_t> StreamClients::event_counts() const {
  std::vector<std::uint64_t> counts;
  counts.reserve(clients_.size());
  for (const Client& client : clients_)
    counts.push_back(client.events);
  return counts;
}

std::size_t StreamClients::failed_count() const {
  std::size_t failed = 0;
  for (const Client& client : clients_)
    failed += client.failed ? 1 : 0;
  return failed;
}

void StreamClients::start(std::size_t index) {
  Client& client = clients_[index];
  ++waiting_;
  PendingConnect pending = start_connect(target_.endpoint);
  client.socket = std::move(pending.socket);
  if (!client.socket.valid()) return fail(index);
  epoll_.add(client.socket, EPOLLOUT, index);
}

void StreamClients::poll_once(int timeout_ms) {
  std::array<epoll_event, 256> events;
  std::size_t ready = epoll_.wait(events, timeout_ms);
  for (std::size_t k = 0; k < ready; ++k)
    on_event(events[k].data.u64, events[k].events);
}

void StreamClients::on_event(std::size_t index, std::uint32_t events) {
  Client& client = clients_[index];
  if (client.failed) return;
  if (client.request_sent) return read_stream(index);
  if ((events & (EPOLLERR | EPOLLHUP)) != 0 || connect_error(client.socket) != 0) {
    return fail(index);
  }
  if (!send_all(client.socket, request_)) return fail(index);
  client.request_sent = true;
  epoll_.modify(client.socket, EPOLLIN, index);
}

void StreamClients::read_stream(std::size_t index) {
  Client& client = clients_[index];
  std::array<char, 4096> buffer;
  auto on_data = [&](std::string_view data) {
    if (client.events++ == 0) --waiting_;
    if (hook_) hook_(index, data, MonotonicClock::now());
  };
  for (;;) {
    long n = receive_nonblocking(client.socket, buffer);
    if (n == -1) return;
    if (n <= 0) return fail(index);  // A stream that ends has failed.
    client.reader.feed(std::string_view(buffer.data(), static_cast<std::size_t>(n)), on_data);
    if (client.reader.failed()) return fail(index);
  }
}

void StreamClients::fail(std::size_t index) {
  Client& client = clients_[index];
  if (client.events == 0) --waiting_;
  client.failed = true;
  client.socket.close();
}

}  // namespace simrelay::support
