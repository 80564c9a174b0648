// /state on the bridges and on nginx, the yardstick: one nginx process with
// keep-alive off, answering the bridge's snapshot bytes with the bridge's
// headers, from a config of its own in a temporary directory.
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

#include "http_client.h"
#include "http_target.h"
#include "loopback.h"
#include "measures.h"
#include "proc_stats.h"
#include "sse.h"
#include "tcp_client.h"

namespace simrelay::bench {
namespace {

using namespace support;

constexpr std::size_t CLIENTS = 50;
constexpr int TURNS = 2;  // Per server: load that comes and goes hits all alike.

struct Tally {
  std::uint64_t answered = 0;  // Status 200, read to the server's close.
  std::uint64_t failed = 0;
  double seconds = 0;
  std::optional<double> cpu = 0.0;  // Server CPU seconds; nothing when unreadable.
};

HttpTarget state_at(std::uint16_t port) {
  return *make_http_target("127.0.0.1", port, "/state");
}

// One client thread's closed loop: each client opens a new connection per
// request and sends the next as soon as the server has closed the last.
class StateLoad {
 public:
  StateLoad(const HttpTarget& target, std::size_t clients)
      : target_(target), request_(get_request(target, false)), sockets_(clients), heads_(clients) {}

  Tally run(MonotonicInstant deadline) {
    for (std::size_t i = 0; i < sockets_.size(); ++i)
      start(i);
    std::array<epoll_event, 64> events;
    for (MonotonicInstant now; (now = MonotonicClock::now()) < deadline;) {
      auto left = std::chrono::duration_cast<milliseconds>(deadline - now).count() + 1;
      for (std::size_t k = epoll_.wait(events, static_cast<int>(left)); k-- > 0;)
        on_ready(events[k].data.u64, events[k].events);
    }
    return tally_;  // Answers still under way are not counted.
  }

 private:
  void start(std::size_t i) {
    PendingConnect pending = start_connect(target_.endpoint);
    sockets_[i] = std::move(pending.socket);
    heads_[i].clear();
    if (!sockets_[i].valid()) return void(++tally_.failed);  // Out of sockets: stays idle.
    epoll_.add(sockets_[i], pending.connected ? EPOLLIN : EPOLLOUT, i);
    if (pending.connected) send(i);
  }

  void send(std::size_t i) {
    if (!send_all(sockets_[i], request_)) finish(i, false);
  }

  void on_ready(std::size_t i, std::uint32_t events) {
    if ((events & EPOLLOUT) == 0) return read(i);
    if ((events & (EPOLLERR | EPOLLHUP)) != 0 || connect_error(sockets_[i]) != 0)
      return finish(i, false);
    epoll_.modify(sockets_[i], EPOLLIN, i);
    send(i);
  }

  void read(std::size_t i) {
    std::array<char, 4096> buffer;
    for (long n; (n = receive_nonblocking(sockets_[i], buffer)) != -1;) {
      if (n <= 0) return finish(i, n == 0 && is_ok_status_line(heads_[i]));
      heads_[i].append(buffer.data(), std::min<std::size_t>(16 - heads_[i].size(), n));
    }
  }

  void finish(std::size_t i, bool ok) {
    ++(ok ? tally_.answered : tally_.failed);
    sockets_[i].close();  // Also leaves the epoll set.
    start(i);
  }

  HttpTarget target_;
  std::string request_;
  std::vector<Socket> sockets_;
  std::vector<std::string> heads_;  // The first bytes of each answer: its status line.
  EpollSet epoll_;
  Tally tally_;
};

// One turn of load on the server at `port`, added to its tally. One client
// thread per CPU: a single one can be starved by the bridge's many threads.
void take_turn(std::uint16_t port, int pid, milliseconds duration, Tally& tally) {
  HttpTarget target = state_at(port);
  std::size_t threads = std::max(1u, std::thread::hardware_concurrency());
  std::vector<Tally> parts(threads);
  std::vector<std::thread> workers;
  std::optional<double> cpu_before = cpu_seconds(pid);
  MonotonicInstant begin = MonotonicClock::now();
  for (std::size_t t = 0; t < threads; ++t) {
    std::size_t clients = CLIENTS / threads + (t < CLIENTS % threads ? 1 : 0);
    workers.emplace_back(
        [&, t, clients] { parts[t] = StateLoad(target, clients).run(begin + duration); });
  }
  for (std::size_t t = 0; t < threads; ++t) {
    workers[t].join();
    tally.answered += parts[t].answered;
    tally.failed += parts[t].failed;
  }
  tally.seconds += std::chrono::duration<double>(MonotonicClock::now() - begin).count();
  std::optional<double> cpu_after = cpu_seconds(pid);
  if (tally.cpu && cpu_before && cpu_after) {
    *tally.cpu += *cpu_after - *cpu_before;
  } else {
    tally.cpu.reset();
  }
}

std::string get_state(std::uint16_t port) {
  return http_exchange(port, get_request(state_at(port), false));
}

class Nginx {
 public:
  // nginx answering /state as `bridge_answer` did; nothing when it is not
  // installed or does not answer alike, and `why` says so.
  static std::unique_ptr<Nginx> start(const std::string& bridge_answer, std::string& why);
  ~Nginx() {
    process_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }
  int pid() const { return process_->pid(); }
  std::uint16_t port() const { return port_; }

 private:
  bool write_config(const std::string& body);

  std::string directory_ = std::filesystem::temp_directory_path() / "simrelay-nginx-XXXXXX";
  std::uint16_t port_ = free_tcp_port();
  std::unique_ptr<BridgeProcess> process_;
};

bool Nginx::write_config(const std::string& body) {
  if (::mkdtemp(directory_.data()) == nullptr) return false;
  // One process that serves by itself, as the bridge is one process; no log
  // line per request; keepalive_timeout 0 closes after each answer.
  std::ofstream(directory_ + "/nginx.conf")
      << "daemon off; master_process off; worker_processes 1;\n"
      << "pid " << directory_ << "/nginx.pid; error_log stderr error;\n"
      << "events { worker_connections 8192; }\n"
      << "http { access_log off; server_tokens off; keepalive_timeout 0;\n"
      << "  client_body_temp_path " << directory_ << "/body;\n"
      << "  server { listen 127.0.0.1:" << port_ << " backlog=128;\n"
      << "    location = /state { default_type application/json;\n"
      << "      add_header Access-Control-Allow-Origin \"*\" always;\n"
      << "      add_header Access-Control-Allow-Methods \"GET, OPTIONS\" always;\n"
      << "      add_header Access-Control-Allow-Headers \"*\" always;\n"
      << "      add_header Access-Control-Allow-Private-Network \"true\" always;\n"
      << "      return 200 '" << body << "'; } } }\n";
  return true;
}

std::unique_ptr<Nginx> Nginx::start(const std::string& bridge_answer, std::string& why) {
  const std::string binary = "/usr/sbin/nginx";
  if (::access(binary.c_str(), X_OK) != 0)
    return why = "nginx not installed (nginx-light)", nullptr;
  std::unique_ptr<Nginx> nginx(new Nginx());
  std::string body = body_of(bridge_answer);
  if (!nginx->write_config(body)) return why = "no temporary directory", nullptr;
  std::string config = nginx->directory_ + "/nginx.conf";
  nginx->process_ = std::make_unique<BridgeProcess>(
      std::vector<std::string>{"-p", nginx->directory_, "-e", "stderr", "-c", config},
      std::vector<std::string>{binary});
  if (!connect_when_listening(nginx->port_, milliseconds(3000)).connected())
    return why = "nginx did not start: " + nginx->process_->stderr_bytes(), nullptr;
  // Every header line of the bridge's answer, and its body: the same work.
  std::string answer = get_state(nginx->port_);
  std::size_t head_end = bridge_answer.find("\r\n\r\n");
  for (std::size_t at = 0, end; (end = bridge_answer.find("\r\n", at)) < head_end; at = end + 2) {
    std::string line = bridge_answer.substr(at, end - at + 2);
    if (answer.find(line) == std::string::npos)
      return why = "nginx lacks " + line.substr(0, line.size() - 2), nullptr;
  }
  if (body.empty() || body_of(answer) != body) return why = "nginx answered:\n" + answer, nullptr;
  return nginx;
}

}  // namespace

bool measure_state(const std::vector<Bridge>& bridges, const Plan& plan, bool need_nginx,
                   Table& table) {
  std::vector<LiveBridge> live;                        // Kept running through all the turns.
  std::vector<std::pair<std::uint16_t, int>> servers;  // Port and pid.
  for (const Bridge& bridge : bridges) {
    std::optional<LiveBridge> started = start_live(bridge);
    if (!started) return false;
    servers.push_back({started->process->port(), started->process->pid()});
    live.push_back(std::move(*started));
  }
  std::string why;
  std::unique_ptr<Nginx> nginx = Nginx::start(get_state(servers.front().first), why);
  if (nginx) servers.push_back({nginx->port(), nginx->pid()});
  std::vector<Tally> tallies(servers.size());
  for (int turn = 0; turn < TURNS; ++turn) {
    for (std::size_t s = 0; s < servers.size(); ++s)
      take_turn(servers[s].first, servers[s].second, plan.state / TURNS, tallies[s]);
  }
  const std::string rate = "/state requests/s (" + std::to_string(CLIENTS) + " clients)";
  for (std::size_t s = 0; s < servers.size(); ++s) {
    const Tally& tally = tallies[s];
    std::string failed = tally.failed ? " (" + std::to_string(tally.failed) + " failed)" : "";
    table.set(rate, s, fixed(static_cast<double>(tally.answered) / tally.seconds, 0) + failed);
    bool cpu = tally.cpu && tally.answered > 0;
    table.set("/state CPU per request, µs", s,
              cpu ? fixed(*tally.cpu / static_cast<double>(tally.answered) * 1e6, 1) : "?");
  }
  if (!nginx) {
    table.set(rate, bridges.size(), "skipped: " + why.substr(0, why.find('\n')));
    std::cerr << "nginx: " << why << "\n";
  }
  return nginx || !need_nginx;
}

}  // namespace simrelay::bench
