// A synthetic flight for the stand-in simulator: a light aircraft flying
// left-hand racetrack circuits around a point, climbing and descending
// gently so that every value keeps moving. Pure: the state at time t.
#pragma once

#include <optional>
#include <string_view>

namespace simrelay::standin {

struct CircuitPlan {
  double centre_lat_deg = 47.46;
  double centre_lon_deg = 8.55;
  double field_elevation_m = 432.0;
  double groundspeed_m_s = 55.0;     // About 107 kt.
  double leg_length_m = 6000.0;      // Each straight leg, flown north then south.
  double turn_radius_m = 1500.0;     // A gentle 2 degrees per second.
  double mean_height_agl_m = 450.0;  // About 1500 ft.
  double height_swing_m = 150.0;     // Climbs and descends this much around it.
};

// The eight values X-Plane would report, in its own units.
struct FlightSample {
  double lat_deg;
  double lon_deg;
  double elevation_m;  // Above mean sea level.
  double heading_deg;  // True, 0 to below 360.
  double groundspeed_m_s;
  double indicated_airspeed_kt;
  double vertical_speed_fpm;
  double height_agl_m;
};

// Seconds for one lap of the circuit.
double lap_seconds(const CircuitPlan& plan);

// Where the aircraft is `seconds` after the stand-in started; repeats every lap.
FlightSample fly(const CircuitPlan& plan, double seconds);

// The value of one X-Plane dataref path, or nothing for a path it does not fly.
std::optional<float> dataref_value(const FlightSample& sample, std::string_view path);

}  // namespace simrelay::standin
