// simrelay-bench [--quick] [[NAME=]BRIDGE ...]: launch, idle, /state (with
// nginx alongside), event latency and stream fan-out figures for one bridge
// or several compared in the same run, printed as one Markdown table. The
// bridge is the one built beside the bench unless given.
#include <sys/utsname.h>

#include <cstdlib>
#include <ctime>
#include <iostream>
#include <thread>

#include "measures.h"
#include "proc_stats.h"
#include "tcp_client.h"

namespace simrelay::bench {
namespace {

const Plan FULL = {5,
                   milliseconds(60000),
                   milliseconds(10000),
                   20,
                   milliseconds(12000),
                   {1000, 4000},
                   milliseconds(20000)};
const Plan QUICK = {2,         milliseconds(2000), milliseconds(1000), 10, milliseconds(2000),
                    {50, 100}, milliseconds(2000)};

std::string load_average() {
  std::string text = support::read_text_file("/proc/loadavg").value_or("? ? ?");
  std::size_t end = 0;
  for (int field = 0; field < 3; ++field)
    end = text.find(' ', end + 1);
  return text.substr(0, end);
}

std::string machine() {
  utsname name{};
  ::uname(&name);
  std::time_t now = std::time(nullptr);
  char when[32];
  std::strftime(when, sizeof when, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
  return std::string(when) + ", " + std::to_string(std::thread::hardware_concurrency()) +
         " CPUs, " + name.sysname + " " + name.release;
}

void progress(const std::string& what) {
  std::cerr << "… " << what << std::endl;
}

}  // namespace
}  // namespace simrelay::bench

int main(int argc, char** argv) {
  using namespace simrelay::bench;
  bool quick = false;
  std::vector<Bridge> bridges;
  for (std::string argument : std::vector<std::string>(argv + 1, argv + argc)) {
    std::size_t equals = argument.find('=');
    if (argument == "--quick") {
      quick = true;
    } else if (argument.starts_with("-")) {
      return std::cerr << "usage: simrelay-bench [--quick] [[NAME=]BRIDGE ...]\n", 2;
    } else if (equals == std::string::npos) {
      bridges.push_back({argument, {argument}});
    } else {
      bridges.push_back({argument.substr(0, equals), {argument.substr(equals + 1)}});
    }
  }
  if (bridges.empty()) bridges.push_back({"bridge", simrelay::support::bridge_command()});
  simrelay::platform_init();
  simrelay::support::raise_open_file_limit();  // Thousands of streams, a socket each.
  const char* ci = std::getenv("CI");
  bool need_nginx = ci != nullptr && *ci != '\0';  // CI installs it: missing is a fault.
  const Plan& plan = quick ? QUICK : FULL;

  std::vector<std::string> columns;
  for (const Bridge& bridge : bridges)
    columns.push_back(bridge.label);
  columns.push_back("nginx");
  Table table(columns);
  std::string load_before = load_average();
  progress("launches and idle");
  bool ok = measure_footprint(bridges, plan, table);
  progress("/state, in turns with nginx");
  ok = measure_state(bridges, plan, need_nginx, table) && ok;
  progress("datagram → event latency");
  ok = measure_latency(bridges, plan, table) && ok;
  progress("streams");
  ok = measure_streams(bridges, plan, table) && ok;
  std::cout << "simrelay-bench" << (quick ? " --quick" : "") << ", " << machine()
            << ", load average " << load_before << " before, " << load_average() << " after\n\n"
            << table.markdown();
  return ok ? 0 : 2;
}
