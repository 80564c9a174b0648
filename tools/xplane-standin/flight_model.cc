#include "flight_model.h"

#include <cmath>
#include <numbers>

namespace simrelay::standin {
namespace {

constexpr double EARTH_RADIUS_M = 6371000.0;
constexpr double PI = std::numbers::pi;
constexpr double KT_PER_M_S = 1.943844492;
constexpr double FPM_PER_M_S = 196.8503937;

double degrees(double radians) {
  return radians * 180.0 / PI;
}

// Position on the circuit in metres east and north of its centre.
struct Track {
  double east_m;
  double north_m;
  double heading_deg;
};

// Heading while turning left around a centre, `angle` measured
// anticlockwise from east: the aircraft flies at right angles to it.
double turning_heading(double angle) {
  double heading = std::fmod(360.0 - degrees(angle), 360.0);
  return heading < 0 ? heading + 360.0 : heading;
}

// The racetrack: north along the east leg, a half turn to the left over the
// top, south along the west leg, a half turn back at the bottom.
Track track_at(const CircuitPlan& plan, double distance) {
  const double leg = plan.leg_length_m;
  const double radius = plan.turn_radius_m;
  const double half_turn = PI * radius;
  if (distance < leg) return {radius, -leg / 2 + distance, 0.0};
  distance -= leg;
  if (distance < half_turn) {
    double angle = distance / radius;
    return {radius * std::cos(angle), leg / 2 + radius * std::sin(angle), turning_heading(angle)};
  }
  distance -= half_turn;
  if (distance < leg) return {-radius, leg / 2 - distance, 180.0};
  distance -= leg;
  double angle = PI + distance / radius;
  return {radius * std::cos(angle), -leg / 2 + radius * std::sin(angle), turning_heading(angle)};
}

double lap_metres(const CircuitPlan& plan) {
  return 2 * plan.leg_length_m + 2 * PI * plan.turn_radius_m;
}

// Indicated airspeed in still air: true airspeed scaled by the square root
// of the standard atmosphere's density ratio at that altitude.
double indicated_kt(double true_m_s, double altitude_m) {
  double density_ratio = std::pow(1.0 - 2.25577e-5 * altitude_m, 4.2559);
  return true_m_s * std::sqrt(density_ratio) * KT_PER_M_S;
}

}  // namespace

double lap_seconds(const CircuitPlan& plan) {
  return lap_metres(plan) / plan.groundspeed_m_s;
}

FlightSample fly(const CircuitPlan& plan, double seconds) {
  const double lap = lap_metres(plan);
  double distance = std::fmod(plan.groundspeed_m_s * seconds, lap);
  if (distance < 0) distance += lap;
  Track track = track_at(plan, distance);

  // One slow climb and descent per lap, so the height joins up at the seam.
  double phase = 2 * PI * distance / lap;
  double height = plan.mean_height_agl_m + plan.height_swing_m * std::sin(phase);
  double climb_m_s = plan.height_swing_m * std::cos(phase) * 2 * PI * plan.groundspeed_m_s / lap;

  double lat_rad = plan.centre_lat_deg * PI / 180.0;
  FlightSample sample{};
  sample.lat_deg = plan.centre_lat_deg + degrees(track.north_m / EARTH_RADIUS_M);
  sample.lon_deg =
      plan.centre_lon_deg + degrees(track.east_m / (EARTH_RADIUS_M * std::cos(lat_rad)));
  sample.elevation_m = plan.field_elevation_m + height;
  sample.heading_deg = track.heading_deg;
  sample.groundspeed_m_s = plan.groundspeed_m_s;
  sample.indicated_airspeed_kt = indicated_kt(plan.groundspeed_m_s, sample.elevation_m);
  sample.vertical_speed_fpm = climb_m_s * FPM_PER_M_S;
  sample.height_agl_m = height;
  return sample;
}

std::optional<float> dataref_value(const FlightSample& sample, std::string_view path) {
  struct Row {
    std::string_view path;
    double FlightSample::*field;
  };
  static constexpr Row ROWS[] = {
      {"sim/flightmodel/position/latitude", &FlightSample::lat_deg},
      {"sim/flightmodel/position/longitude", &FlightSample::lon_deg},
      {"sim/flightmodel/position/elevation", &FlightSample::elevation_m},
      {"sim/flightmodel/position/psi", &FlightSample::heading_deg},
      {"sim/flightmodel/position/groundspeed", &FlightSample::groundspeed_m_s},
      {"sim/flightmodel/position/indicated_airspeed", &FlightSample::indicated_airspeed_kt},
      {"sim/flightmodel/position/vh_ind_fpm", &FlightSample::vertical_speed_fpm},
      {"sim/flightmodel/position/y_agl", &FlightSample::height_agl_m},
  };
  for (const Row& row : ROWS) {
    if (row.path == path) return static_cast<float>(sample.*row.field);
  }
  return std::nullopt;
}

}  // namespace simrelay::standin
