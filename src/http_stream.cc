// The live event stream: one Server-Sent Event per new reply from X-Plane,
// and the current snapshot again after a second without one.
#include <thread>

#include "http.h"

namespace simrelay {

bool event_due(std::uint64_t count, std::uint64_t last_count, MonotonicInstant last_sent,
               MonotonicInstant now) {
  if (count != last_count) return true;
  // A last-sent instant ahead of now counts as no time elapsed.
  return now > last_sent && now - last_sent >= STREAM_HEARTBEAT;
}

void stream_events(const Socket& connection, FlightState& state) {
  // Only a stream can fill the send buffer: every fixed answer fits an empty
  // one, so only here does a client that stops reading hold its thread.
  set_send_timeout(connection, SEND_TIMEOUT_MS);
  if (!send_all(connection, stream_header())) return;
  set_no_delay(connection);  // Each event leaves at once; a failure only costs latency.
  allow_late_wakeups(STREAM_WAKE_SLACK_US);

  StreamPace pace;
  constexpr std::string_view PREFIX = "data: ";
  std::string event(PREFIX);  // Reused for every pass: "data: " + snapshot + "\n\n".
  for (;;) {
    event.resize(PREFIX.size());
    std::uint64_t count = state.append_snapshot(event, MonotonicClock::now());
    if (pace.due(count, MonotonicClock::now())) {
      event += "\n\n";
      if (!send_all(connection, event)) return;
      pace.sent(count, MonotonicClock::now());
    }
    std::this_thread::sleep_for(STREAM_TICK);
  }
}

}  // namespace simrelay
