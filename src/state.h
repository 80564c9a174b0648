// The one record shared between threads: the latest position values from
// X-Plane, when they came, and their JSON form.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "mutex.h"

namespace simrelay {

using MonotonicClock = std::chrono::steady_clock;
using MonotonicInstant = MonotonicClock::time_point;

struct PositionField {
  std::string_view json_key;
  std::string_view dataref_path;
};

// The row number is the value's slot, its subscription index and its place
// in the JSON snapshot.
inline constexpr std::array<PositionField, 8> POSITION_FIELDS{{
    {"lat", "sim/flightmodel/position/latitude"},
    {"lon", "sim/flightmodel/position/longitude"},
    {"alt", "sim/flightmodel/position/elevation"},
    {"hdg", "sim/flightmodel/position/psi"},
    {"gs", "sim/flightmodel/position/groundspeed"},
    {"ias", "sim/flightmodel/position/indicated_airspeed"},
    {"vs", "sim/flightmodel/position/vh_ind_fpm"},
    {"agl", "sim/flightmodel/position/y_agl"},
}};

inline constexpr std::chrono::seconds LIVE_WINDOW{3};

// One (index, value) record of an X-Plane reply.
struct RrefRecord {
  std::uint32_t index;
  float value;
};

// Guards itself: each operation takes the record's lock for its own short
// work, so callers never hold it while they send, print or sleep. The live
// form of the snapshot is rendered once per reply, when the values change;
// readers copy it, or the not-live form, as judged at their own time.
class FlightState {
 public:
  // Stores the records (indexes 8 and above are ignored), then stamps both
  // clocks and counts the reply.
  void apply_reply(std::span<const RrefRecord> records, MonotonicInstant now,
                   std::chrono::system_clock::time_point wall_now) SIMRELAY_EXCLUDES(mutex_);
  void apply_reply(std::span<const RrefRecord> records) SIMRELAY_EXCLUDES(mutex_);

  bool is_live(MonotonicInstant now) const SIMRELAY_EXCLUDES(mutex_);
  std::uint64_t reply_count() const SIMRELAY_EXCLUDES(mutex_);

  // Appends the snapshot as judged at `now` and returns the reply count it
  // shows, both read under one hold of the lock.
  std::uint64_t append_snapshot(std::string& out, MonotonicInstant now) const
      SIMRELAY_EXCLUDES(mutex_);
  std::string snapshot_json(MonotonicInstant now) const SIMRELAY_EXCLUDES(mutex_);
  std::string snapshot_json() const SIMRELAY_EXCLUDES(mutex_) {
    return snapshot_json(MonotonicClock::now());
  }

 private:
  bool live_at(MonotonicInstant now) const SIMRELAY_REQUIRES(mutex_);
  void render_live_json() SIMRELAY_REQUIRES(mutex_);

  mutable Mutex mutex_;
  std::array<std::optional<float>, POSITION_FIELDS.size()> values_ SIMRELAY_GUARDED_BY(mutex_){};
  std::optional<MonotonicInstant> last_reply_ SIMRELAY_GUARDED_BY(mutex_);
  // Wall clock, milliseconds since 1970.
  std::uint64_t reply_time_ms_ SIMRELAY_GUARDED_BY(mutex_) = 0;
  std::uint64_t reply_count_ SIMRELAY_GUARDED_BY(mutex_) = 0;
  std::string live_json_ SIMRELAY_GUARDED_BY(mutex_);  // The snapshot while the link is live.
};

using SharedFlightState = std::shared_ptr<FlightState>;

inline SharedFlightState make_flight_state() {
  return std::make_shared<FlightState>();
}

// Whole milliseconds since 1970, or 0 for an instant before 1970.
std::uint64_t milliseconds_since_epoch(std::chrono::system_clock::time_point wall);

// The shortest decimal digits that read back as `value`, laid out without
// an exponent: 5, -0, 0.0000001, 100000000000000000000. Finite values only.
void append_float(std::string& out, float value);

}  // namespace simrelay
