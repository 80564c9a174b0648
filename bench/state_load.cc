#include "state_load.h"

#include <array>
#include <thread>

#include "sse.h"
#include "state.h"
#include "tcp_client.h"

namespace simrelay::bench {

using namespace support;
namespace {

// One client's current request.
struct Slot {
  Socket socket;
  MonotonicInstant started;
  std::string status;  // The first bytes of the answer, for its status line.
  bool request_sent = false;
};

class LoadThread {
 public:
  LoadThread(const HttpTarget& target, std::size_t clients)
      : target_(target), request_(get_request(target, false)), slots_(clients) {}

  StateLoadResult run(MonotonicInstant deadline);

 private:
  void start(std::size_t index);
  void send_request(std::size_t index);
  void on_event(std::size_t index, std::uint32_t events);
  void read_answer(std::size_t index);
  void finish(std::size_t index, bool ok);

  HttpTarget target_;
  std::string request_;
  std::vector<Slot> slots_;
  EpollSet epoll_;
  StateLoadResult result_;
};

StateLoadResult LoadThread::run(MonotonicInstant deadline) {
  MonotonicInstant begin = MonotonicClock::now();
  for (std::size_t i = 0; i < slots_.size(); ++i)
    start(i);
  std::array<epoll_event, 64> events;
  for (MonotonicInstant now = begin; now < deadline; now = MonotonicClock::now()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    std::size_t ready = epoll_.wait(events, static_cast<int>(left.count()) + 1);
    for (std::size_t k = 0; k < ready; ++k)
      on_event(events[k].data.u64, events[k].events);
  }
  result_.seconds = std::chrono::duration<double>(MonotonicClock::now() - begin).count();
  return std::move(result_);  // Answers still under way are not counted.
}

void LoadThread::start(std::size_t index) {
  Slot& slot = slots_[index];
  slot.started = MonotonicClock::now();
  slot.status.clear();
  slot.request_sent = false;
  PendingConnect pending = start_connect(target_.endpoint);
  slot.socket = std::move(pending.socket);
  if (!slot.socket.valid()) {
    ++result_.failed;
    return;  // This client stays idle: the machine is out of sockets.
  }
  epoll_.add(slot.socket, pending.connected ? EPOLLIN : EPOLLOUT, index);
  if (pending.connected) send_request(index);
}

void LoadThread::send_request(std::size_t index) {
  Slot& slot = slots_[index];
  if (!send_all(slot.socket, request_)) return finish(index, false);
  slot.request_sent = true;
}

void LoadThread::on_event(std::size_t index, std::uint32_t events) {
  Slot& slot = slots_[index];
  if (slot.request_sent) return read_answer(index);
  if ((events & (EPOLLERR | EPOLLHUP)) != 0 || connect_error(slot.socket) != 0) {
    return finish(index, false);
  }
  epoll_.modify(slot.socket, EPOLLIN, index);
  send_request(index);
}

void LoadThread::read_answer(std::size_t index) {
  Slot& slot = slots_[index];
  std::array<char, 4096> buffer;
  for (;;) {
    long n = receive_nonblocking(slot.socket, buffer);
    if (n == -1) return;  // More to come.
    if (n == -2) return finish(index, false);
    if (n == 0) return finish(index, is_ok_status_line(slot.status));
    std::size_t want = slot.status.size() < 16 ? 16 - slot.status.size() : 0;
    slot.status.append(buffer.data(), std::min<std::size_t>(want, static_cast<std::size_t>(n)));
  }
}

void LoadThread::finish(std::size_t index, bool ok) {
  Slot& slot = slots_[index];
  if (ok) {
    ++result_.completed;
    std::chrono::duration<double, std::milli> took = MonotonicClock::now() - slot.started;
    result_.latencies_ms.push_back(took.count());
  } else {
    ++result_.failed;
  }
  slot.socket.close();  // Also leaves the epoll set.
  start(index);
}

}  // namespace

StateLoadResult run_state_load(const HttpTarget& target, const StateLoadOptions& options) {
  std::size_t threads = std::max<std::size_t>(1, std::min(options.threads, options.clients));
  MonotonicInstant deadline = MonotonicClock::now() + options.duration;
  std::vector<StateLoadResult> parts(threads);
  std::vector<std::thread> workers;
  for (std::size_t t = 0; t < threads; ++t) {
    std::size_t clients = options.clients / threads + (t < options.clients % threads ? 1 : 0);
    workers.emplace_back([&, t, clients] { parts[t] = LoadThread(target, clients).run(deadline); });
  }
  StateLoadResult total;
  for (std::size_t t = 0; t < threads; ++t) {
    workers[t].join();
    total.completed += parts[t].completed;
    total.failed += parts[t].failed;
    total.seconds = std::max(total.seconds, parts[t].seconds);
    total.latencies_ms.insert(total.latencies_ms.end(), parts[t].latencies_ms.begin(),
                              parts[t].latencies_ms.end());
  }
  return total;
}

}  // namespace simrelay::bench
