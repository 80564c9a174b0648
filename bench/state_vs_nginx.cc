#include "state_vs_nginx.h"

#include "measures.h"
#include "nginx_server.h"
#include "proc_stats.h"
#include "sockets.h"
#include "stats.h"

namespace simrelay::bench {

using namespace support;
namespace {

// Turns per server: background load that comes and goes hits both alike.
constexpr int TURNS = 2;

struct Tally {
  StateLoadResult load;
  std::optional<double> cpu = 0.0;
};

void take_turn(Tally& tally, const HttpTarget& target, const StateLoadOptions& options, int pid) {
  std::optional<double> before = cpu_seconds(pid);
  StateLoadResult turn = run_state_load(target, options);
  std::optional<double> after = cpu_seconds(pid);
  tally.load.completed += turn.completed;
  tally.load.failed += turn.failed;
  tally.load.seconds += turn.seconds;
  tally.load.latencies_ms.insert(tally.load.latencies_ms.end(), turn.latencies_ms.begin(),
                                 turn.latencies_ms.end());
  if (tally.cpu && before && after) {
    *tally.cpu += *after - *before;
  } else {
    tally.cpu.reset();
  }
}

double rate_of(const StateLoadResult& load) {
  return load.seconds > 0 ? static_cast<double>(load.completed) / load.seconds : 0;
}

}  // namespace

std::optional<std::string> fetch_answer(const HttpTarget& target) {
  SocketResult connection = connect_tcp(target.endpoint);
  if (!connection.socket.valid() || !send_all(connection.socket, get_request(target, false))) {
    return std::nullopt;
  }
  std::string answer;
  char buffer[4096];
  for (long n; (n = receive_some(connection.socket, buffer)) > 0;)
    answer.append(buffer, static_cast<std::size_t>(n));
  return answer;
}

Rows measure_state_against_nginx(const HttpTarget& bridge, const StateLoadOptions& options,
                                 int bridge_pid) {
  std::string what = state_label(bridge, options);
  std::string why_not = "the bridge's snapshot could not be read";
  std::string body = fetch_answer(bridge).value_or("");
  std::size_t head_end = body.find("\r\n\r\n");
  std::unique_ptr<NginxServer> nginx;
  if (head_end != std::string::npos) nginx = NginxServer::start(body.substr(head_end + 4), why_not);
  StateLoadOptions turn = options;
  turn.duration = options.duration / TURNS;

  Tally ours, theirs;
  for (int i = 0; i < TURNS; ++i) {
    take_turn(ours, bridge, turn, bridge_pid);
    if (!nginx) continue;
    HttpTarget target = bridge;
    target.endpoint.port = nginx->port();
    take_turn(theirs, target, turn, nginx->pid());
  }
  double our_rate = rate_of(ours.load);
  double our_p99 = percentile(ours.load.latencies_ms, 99);
  Rows rows = state_rows(what, ours.load, ours.cpu, true);
  if (!nginx) {
    rows.push_back({what, "nginx alongside", "skipped: " + why_not, "", std::nullopt});
    return rows;
  }
  std::string theirs_what = "nginx, the same bytes, one process, keep-alive off";
  Rows nginx_rows = state_rows(theirs_what, theirs.load, theirs.cpu, false);
  rows.insert(rows.end(), nginx_rows.begin(), nginx_rows.end());
  double their_rate = rate_of(theirs.load);
  double their_p99 = percentile(theirs.load.latencies_ms, 99);
  double ratio = their_rate > 0 ? our_rate / their_rate : 0;
  std::string compared = "bridge against nginx, same run";
  rows.push_back({compared, "requests/s, bridge ÷ nginx", fixed(ratio, 2), "≥ 1.00", ratio >= 1.0});
  if (ours.cpu && theirs.cpu && ours.load.completed > 0 && theirs.load.completed > 0) {
    double our_cost = *ours.cpu / static_cast<double>(ours.load.completed);
    double their_cost = *theirs.cpu / static_cast<double>(theirs.load.completed);
    rows.push_back({compared, "server CPU per request, bridge ÷ nginx",
                    fixed(our_cost / their_cost, 2), "", std::nullopt});
  }
  rows.push_back({compared, "latency p99, bridge / nginx",
                  fixed(our_p99, 2) + " / " + fixed(their_p99, 2) + " ms", "bridge ≤ nginx",
                  our_p99 <= their_p99});
  return rows;
}

}  // namespace simrelay::bench
