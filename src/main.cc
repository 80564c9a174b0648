// The bridge's entry: start-up, the accept loop, and the pause that ends a
// failed start-up.
#include <string>
#include <variant>

#include "config.h"
#include "console.h"
#include "http.h"
#include "platform.h"
#include "state.h"
#include "version.h"
#include "xplane.h"

namespace simrelay {
namespace {

constexpr std::string_view BANNER = "Corvane X-Plane bridge " SIMRELAY_VERSION;
constexpr int LISTEN_BACKLOG = 128;

// Leaves the line on standard error, waits for Enter (or the end of input)
// so a double-clicked console window stays readable, and exits with 1.
[[noreturn]] void fail_and_pause(std::string line) {
  queue_stderr_line(std::move(line));
  queue_stderr_line("Press Enter to close.");
  drain_console();  // The reason and the prompt stand before the wait.
  discard_stdin_line();
  exit_process(1);
}

[[noreturn]] void accept_forever(const Socket& listener, const SharedFlightState& state) {
  for (;;) {
    Socket connection = accept_connection(listener);
    if (!connection.valid()) continue;
    // When no thread can be started the callable is destroyed unrun: the
    // connection is closed unserved and its state reference dropped here.
    start_detached_thread([connection = std::move(connection), state = state]() mutable {
      serve_connection(std::move(connection), std::move(state));
    });
  }
}

int run_bridge(std::vector<std::string> arguments) {
  CommandLine command_line = parse_command_line(std::move(arguments));
  if (std::holds_alternative<UsageRequest>(command_line)) {
    write_stdout_line(USAGE_LINE);
    return 0;
  }
  const BridgeConfig& config = std::get<BridgeConfig>(command_line);

  std::optional<Ipv4Endpoint> endpoint = resolve_xplane_endpoint(config.xplane_host);
  if (!endpoint) fail_and_pause("✗ cannot resolve X-Plane host '" + config.xplane_host + "'");
  queue_stdout_line(std::string(BANNER));

  SharedFlightState state = make_flight_state();
  SocketResult udp = open_udp_socket_at(UDP_BIND_ADDRESS);
  if (!udp.socket.valid()) fail_and_pause("✗ UDP: " + os_error_text(udp.error));
  // From the first subscription on, every ending of the process cancels them.
  send_datagrams_at_exit(udp.socket, *endpoint, cancellation_requests());
  queue_stdout_line("→ asking X-Plane at " + to_string(*endpoint) + " for position (" +
                    std::to_string(RREF_RATE_HZ) + " Hz)");

  int thread_error = start_detached_thread(
      [socket = std::move(udp.socket), endpoint = *endpoint, state]() mutable {
        run_subscriber(std::move(socket), endpoint, std::move(state));
      });
  if (thread_error != 0)
    fail_and_pause("✗ cannot start the X-Plane link: " + os_error_text(thread_error));

  std::string port = std::to_string(config.http_port);
  SocketResult listener =
      open_tcp_listener(Ipv4Endpoint{HTTP_BIND_HOST, config.http_port}, LISTEN_BACKLOG);
  if (!listener.socket.valid()) {
    fail_and_pause("✗ cannot open http://localhost:" + port + ": " + os_error_text(listener.error) +
                   " (is the bridge already running?)");
  }
  queue_stdout_line("✓ bridge ready on http://localhost:" + port +
                    " — enable \"X-Plane live\" on the map. Close this window to stop.");
  accept_forever(listener.socket, state);
}

}  // namespace
}  // namespace simrelay

int main(int argc, char** argv) {
  simrelay::platform_init();
  return simrelay::run_bridge(simrelay::command_line_arguments(argc, argv));
}
