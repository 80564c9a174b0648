// xplane-standin: answers RREF subscriptions on UDP port 49000 the way
// X-Plane does, with a synthetic flight, so the bridge and the map can be
// tried and tested without the simulator. Ctrl+C ends it.
#include <algorithm>
#include <array>
#include <charconv>
#include <string>
#include <variant>

#include "flight_model.h"
#include "options.h"
#include "platform.h"
#include "subscriptions.h"

namespace simrelay::standin {
namespace {

// Longest wait for a request when nothing is due; bounds the loop's sleep.
constexpr auto IDLE_WAIT = std::chrono::milliseconds(250);
constexpr std::size_t RECEIVE_BUFFER_LEN = 2048;

// Shortest form: "47.46", not "47.460000".
std::string decimal(double value) {
  char digits[32];
  return std::string(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

std::string describe_position(const CircuitPlan& plan) {
  return decimal(plan.centre_lat_deg) + ", " + decimal(plan.centre_lon_deg);
}

std::uint32_t wait_ms_until(std::optional<MonotonicInstant> due, MonotonicInstant now) {
  auto wait = due ? std::chrono::duration_cast<std::chrono::milliseconds>(*due - now) : IDLE_WAIT;
  // A zero time-out would mean waiting for ever.
  return static_cast<std::uint32_t>(std::clamp<long long>(wait.count(), 1, IDLE_WAIT.count()));
}

void report(SubscriberChange change, const Ipv4Endpoint& subscriber) {
  if (change == SubscriberChange::Started) {
    write_stdout_line("→ serving " + to_string(subscriber));
  } else if (change == SubscriberChange::Stopped) {
    write_stdout_line("… stopped serving " + to_string(subscriber) + " (all datarefs cancelled)");
  }
}

void send_batch(const Socket& socket, const DueBatch& batch, const FlightSample& sample) {
  std::vector<RrefRecord> records;
  records.reserve(batch.records.size());
  for (const DueRecord& due : batch.records) {
    // X-Plane answers a path it does not know with zeros.
    float value = dataref_value(sample, due.path).value_or(0.0f);
    records.push_back({static_cast<std::uint32_t>(due.index), value});
  }
  for (const std::string& reply : build_rref_replies(records)) {
    send_datagram(socket, batch.subscriber, reply);  // A lost reply is followed by the next.
  }
}

[[noreturn]] void serve(const Socket& socket, const CircuitPlan& plan) {
  SubscriptionTable table;
  const MonotonicInstant start = MonotonicClock::now();
  std::array<char, RECEIVE_BUFFER_LEN> buffer{};
  for (;;) {
    set_receive_timeout(socket, wait_ms_until(table.next_due(), MonotonicClock::now()));
    Ipv4Endpoint sender;
    if (auto length = receive_datagram(socket, buffer, &sender)) {
      auto request = parse_rref_subscription(std::span<const char>(buffer.data(), *length));
      if (request) report(table.apply(sender, *request, MonotonicClock::now()), sender);
    }
    MonotonicInstant now = MonotonicClock::now();
    auto batches = table.take_due(now);
    if (batches.empty()) continue;
    FlightSample sample = fly(plan, std::chrono::duration<double>(now - start).count());
    for (const DueBatch& batch : batches)
      send_batch(socket, batch, sample);
  }
}

int run(const std::vector<std::string>& arguments) {
  StandinCommandLine command_line = parse_standin_arguments(arguments);
  if (std::holds_alternative<StandinUsage>(command_line)) {
    write_stdout_line(STANDIN_USAGE);
    return 0;
  }
  if (auto* error = std::get_if<OptionError>(&command_line)) {
    write_stderr_line("✗ " + error->message);
    write_stderr_line(STANDIN_USAGE);
    return 2;
  }
  const StandinOptions& options = std::get<StandinOptions>(command_line);
  SocketResult udp = open_udp_socket_at(options.listen);
  if (!udp.socket.valid()) {
    write_stderr_line("✗ cannot listen on UDP " + to_string(options.listen) + ": " +
                      os_error_text(udp.error));
    return 1;
  }
  write_stdout_line("✓ X-Plane stand-in on UDP " + to_string(options.listen) +
                    ", flying circuits around " + describe_position(options.plan) +
                    ". Ctrl+C to stop.");
  serve(udp.socket, options.plan);
}

}  // namespace
}  // namespace simrelay::standin

int main(int argc, char** argv) {
  simrelay::platform_init();
  return simrelay::standin::run(simrelay::command_line_arguments(argc, argv));
}
