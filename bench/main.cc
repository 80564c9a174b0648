// simrelay-bench: load, fan-out, latency and footprint figures for the
// bridge, printed as one Markdown table.
#include <sys/utsname.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <thread>

#include "bridge_process.h"
#include "config.h"
#include "fake_xplane.h"
#include "measures.h"
#include "options.h"
#include "proc_stats.h"
#include "state_vs_nginx.h"
#include "tcp_client.h"

namespace simrelay::bench {
namespace {

using namespace support;

constexpr std::chrono::milliseconds FEED_PERIOD{200};  // 5 Hz, as the bridge asks.
constexpr std::chrono::milliseconds LINK_TIMEOUT{5000};

void progress(const std::string& line) {
  std::cerr << "… " << line << std::endl;
}

std::chrono::milliseconds seconds(const Options& options, std::uint64_t fallback) {
  return std::chrono::milliseconds(options.number("--seconds", fallback) * 1000);
}

std::string machine_line() {
  std::string cpu = "unknown CPU";
  if (auto info = read_text_file("/proc/cpuinfo")) {
    std::size_t at = info->find("model name");
    if (at != std::string::npos) {
      std::size_t colon = info->find(':', at);
      cpu = info->substr(colon + 2, info->find('\n', colon) - colon - 2);
    }
  }
  utsname name{};
  ::uname(&name);
  return std::to_string(std::thread::hardware_concurrency()) + " CPUs, " + cpu + ", " +
         name.sysname + " " + name.release;
}

// A fake X-Plane on the first free address from `first` up in the bench's
// range. Left alone it never reads or answers: it holds its address, so that
// no other fake takes it, and a bridge pointed there waits for ever.
std::optional<FakeXPlane> silent_xplane(std::uint64_t first) {
  return FakeXPlane::open({static_cast<std::uint8_t>(first), BENCH_XPLANES.last});
}

std::unique_ptr<XPlaneFeed> start_feed(std::uint64_t first) {
  auto xplane = silent_xplane(first);
  if (!xplane) return nullptr;
  return std::make_unique<XPlaneFeed>(std::move(*xplane), FEED_PERIOD);
}

std::optional<HttpTarget> target_from(const Options& options, const std::string& path) {
  auto port = options.number("--port");
  if (!port || *port > 65535) return std::nullopt;
  return make_http_target(options.text("--host", "127.0.0.1"), static_cast<std::uint16_t>(*port),
                          options.text("--path", path));
}

StateLoadOptions state_options(const Options& options, bool quick) {
  // One client thread per CPU, as a single one can be starved by the
  // server's many threads and then measures itself.
  std::uint64_t cpus = std::max(1u, std::thread::hardware_concurrency());
  return {options.number("--clients", 50), options.number("--threads", cpus),
          seconds(options, quick ? 2 : 10)};
}

FanoutOptions fanout_options(const Options& options, bool quick) {
  FanoutOptions fanout{options.number("--clients", quick ? 100 : 1000),
                       seconds(options, quick ? 3 : 20), std::nullopt};
  if (auto pid = options.number("--pid")) fanout.server_pid = static_cast<int>(*pid);
  return fanout;
}

LatencyOptions latency_options(const Options& options, bool quick) {
  return {options.number("--clients", quick ? 10 : 20), seconds(options, quick ? 3 : 12),
          quick ? 0u : 500u};
}

FootprintOptions footprint_options(const Options& options, bool quick, std::string silent) {
  return {options.text("--bridge", "build/release/simrelay"), std::move(silent),
          seconds(options, quick ? 3 : 60),
          static_cast<int>(options.number("--launches", quick ? 3 : 5))};
}

// Runs `measure` against a fresh bridge that follows `feed`.
template <class Measure>
bool with_live_bridge(const std::string& binary, XPlaneFeed& feed, Rows& rows, Measure measure) {
  auto bridge = BridgeProcess::start_ready(feed.host(), {binary});
  if (!bridge) return false;
  if (!bridge->wait_stdout_prefix("✓ receiving data", LINK_TIMEOUT)) {
    std::cerr << "the bridge did not report data from the fake X-Plane; it said:\n"
              << bridge->stdout_bytes() << bridge->stderr_bytes();
    return false;
  }
  std::optional<HttpTarget> target = make_http_target("127.0.0.1", bridge->port(), "/");
  OtherLoadProbe others(bridge->pid());
  Rows measured = measure(*target, bridge->pid());
  rows.insert(rows.end(), measured.begin(), measured.end());
  if (auto percent = others.percent()) {
    rows.push_back({measured.front().group, "CPU used by other processes meanwhile",
                    fixed(*percent, 0) + " % of all CPUs", "", std::nullopt});
  }
  bridge.reset();
  feed.forget_subscribers();
  return true;
}

int run_all(const Options& options) {
  bool quick = options.flag("--quick");
  std::string binary = options.text("--bridge", "build/release/simrelay");
  auto feed = start_feed(BENCH_XPLANES.first);
  if (!feed) return std::cerr << "no free address for the fake X-Plane\n", 2;
  auto silent = silent_xplane(feed->address().address[3] + 1u);
  if (!silent) return std::cerr << "no free address for a silent X-Plane\n", 2;

  Rows rows;
  progress("footprint (launches, idle bridge)");
  Options none = *Options::parse({"all"});
  FootprintOptions footprint = footprint_options(none, quick, silent->host());
  footprint.binary = binary;
  rows = measure_footprint(footprint);

  bool ran = true;
  progress("/state load, bridge and nginx in turns");
  ran &= with_live_bridge(binary, *feed, rows, [&](HttpTarget target, int pid) {
    target.path = "/state";
    return measure_state_against_nginx(target, state_options(none, quick), pid);
  });
  progress("event latency");
  ran &= with_live_bridge(binary, *feed, rows, [&](HttpTarget target, int) {
    target.path = "/stream";
    return measure_latency(target, *feed, latency_options(none, quick));
  });
  // The quick run's 100 streams, or 1,000 and then 4,000.
  std::vector<FanoutOptions> fanouts = {fanout_options(none, quick)};
  if (!quick) fanouts.push_back({4000, fanouts.front().duration, std::nullopt, 50, 128});
  for (FanoutOptions& fanout : fanouts) {
    progress("/stream fan-out, " + std::to_string(fanout.clients) + " streams");
    ran &= with_live_bridge(binary, *feed, rows, [&](HttpTarget target, int pid) {
      target.path = "/stream";
      fanout.server_pid = pid;
      return measure_fanout(target, fanout);
    });
  }

  std::cout << "simrelay-bench all" << (quick ? " --quick" : "") << " on " << machine_line()
            << "\n\n"
            << format_table(rows);
  if (!ran) return std::cerr << "a bridge did not start or did not link to the feed\n", 2;
  return options.flag("--check") && !all_met(rows) ? 1 : 0;
}

int run_one(const Options& options) {
  const std::string& command = options.command();
  Rows rows;
  if (command == "footprint") {
    auto silent = silent_xplane(BENCH_XPLANES.first);
    if (!silent) return std::cerr << "no free address for a silent X-Plane\n", 2;
    rows = measure_footprint(footprint_options(options, false, silent->host()));
  } else if (command == "latency") {
    auto target = target_from(options, "/stream");
    if (!target) return std::cerr << "need --host and --port\n", 2;
    std::uint64_t from = options.number("--feed-from", BENCH_XPLANES.first);
    if (from < BENCH_XPLANES.first || from > BENCH_XPLANES.last) {
      return std::cerr << "--feed-from must lie in 240..254\n", 2;
    }
    auto feed = start_feed(from);
    if (!feed) return std::cerr << "no free address for the fake X-Plane\n", 2;
    std::cerr << "fake X-Plane at " << feed->host() << "; waiting for a subscription\n";
    for (int wait = 0; feed->requests_seen() == 0; ++wait) {
      if (wait == 300) return std::cerr << "no subscription came\n", 2;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));  // Let the first replies land.
    rows = measure_latency(*target, *feed, latency_options(options, false));
  } else if (command == "state" || command == "fanout") {
    auto target = target_from(options, command == "state" ? "/state" : "/stream");
    if (!target) return std::cerr << "need --host and --port\n", 2;
    std::optional<int> pid;
    if (auto number = options.number("--pid")) pid = static_cast<int>(*number);
    if (command == "fanout") {
      rows = measure_fanout(*target, fanout_options(options, false));
    } else if (options.flag("--nginx") && pid) {
      rows = measure_state_against_nginx(*target, state_options(options, false), *pid);
    } else {
      rows = measure_state(*target, state_options(options, false), pid);
    }
  } else {
    return std::cerr << USAGE, 2;
  }
  std::cout << format_table(rows);
  return options.flag("--check") && !all_met(rows) ? 1 : 0;
}

}  // namespace
}  // namespace simrelay::bench

int main(int argc, char** argv) {
  using namespace simrelay::bench;
  simrelay::platform_init();
  raise_open_file_limit();  // A thousand streams need a thousand sockets.
  auto options = Options::parse(std::vector<std::string>(argv + 1, argv + argc));
  if (!options) return std::cerr << USAGE, 2;
  return options->command() == "all" ? run_all(*options) : run_one(*options);
}
