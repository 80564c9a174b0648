#include "flight_model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "state.h"

namespace simrelay::standin {
namespace {

constexpr double PI = std::numbers::pi;
constexpr double EARTH_RADIUS_M = 6371000.0;

struct Offset {
  double east_m;
  double north_m;
};

// Metres east and north of the plan's centre (flat earth: fine over a few km).
Offset offset_from_centre(const CircuitPlan& plan, const FlightSample& s) {
  double north = (s.lat_deg - plan.centre_lat_deg) * PI / 180 * EARTH_RADIUS_M;
  double east = (s.lon_deg - plan.centre_lon_deg) * PI / 180 * EARTH_RADIUS_M *
                std::cos(plan.centre_lat_deg * PI / 180);
  return {east, north};
}

double metres_between(const CircuitPlan& plan, const FlightSample& a, const FlightSample& b) {
  Offset p = offset_from_centre(plan, a), q = offset_from_centre(plan, b);
  return std::hypot(q.east_m - p.east_m, q.north_m - p.north_m);
}

double angle_between(double a_deg, double b_deg) {
  double d = std::fmod(std::fabs(a_deg - b_deg), 360.0);
  return d > 180 ? 360 - d : d;
}

class FlightModelTest : public ::testing::Test {
 protected:
  CircuitPlan plan;  // The defaults, around Zurich.
  double lap = lap_seconds(plan);
};

TEST_F(FlightModelTest, StaysOnTheRacetrackAroundTheCentre) {
  const double farthest = plan.leg_length_m / 2 + plan.turn_radius_m;
  for (double t = 0; t < lap; t += 1.0) {
    FlightSample s = fly(plan, t);
    Offset o = offset_from_centre(plan, s);
    double from_centre = std::hypot(o.east_m, o.north_m);
    EXPECT_GE(from_centre, plan.turn_radius_m - 1) << "t=" << t;
    EXPECT_LE(from_centre, farthest + 1) << "t=" << t;
    EXPECT_GE(s.height_agl_m, plan.mean_height_agl_m - plan.height_swing_m - 1e-9);
    EXPECT_LE(s.height_agl_m, plan.mean_height_agl_m + plan.height_swing_m + 1e-9);
    EXPECT_DOUBLE_EQ(s.elevation_m, plan.field_elevation_m + s.height_agl_m);
    EXPECT_GE(s.heading_deg, 0.0);
    EXPECT_LT(s.heading_deg, 360.0);
  }
}

// Every tenth of a second all round the lap, seams included: no jumps, and
// the nose points where the aircraft goes.
TEST_F(FlightModelTest, MovesSmoothlyAtGroundspeedTheWayItHeads) {
  const double step = 0.1;
  for (double t = 0; t < lap + 1; t += step) {
    FlightSample a = fly(plan, t), b = fly(plan, t + step);
    EXPECT_NEAR(metres_between(plan, a, b), plan.groundspeed_m_s * step, 0.05) << "t=" << t;
    Offset p = offset_from_centre(plan, a), q = offset_from_centre(plan, b);
    double bearing = std::atan2(q.east_m - p.east_m, q.north_m - p.north_m) * 180 / PI;
    EXPECT_LT(angle_between(bearing, a.heading_deg), 0.5) << "t=" << t;
    EXPECT_LT(angle_between(a.heading_deg, b.heading_deg), 0.5) << "t=" << t;
  }
}

TEST_F(FlightModelTest, TurnsLeftAndRepeatsEveryLap) {
  EXPECT_NEAR(lap, (2 * 6000 + 2 * PI * 1500) / 55.0, 1e-9);
  FlightSample start = fly(plan, 0);
  EXPECT_DOUBLE_EQ(start.heading_deg, 0.0);  // North up the east leg first...
  Offset o = offset_from_centre(plan, start);
  EXPECT_GT(o.east_m, 0);
  // ...then a left turn: heading decreases through west.
  double after_leg = plan.leg_length_m / plan.groundspeed_m_s;
  EXPECT_NEAR(fly(plan, after_leg + PI * plan.turn_radius_m / 2 / plan.groundspeed_m_s).heading_deg,
              270.0, 0.01);
  for (double t : {0.0, 17.3, 150.0, 321.9}) {
    FlightSample now = fly(plan, t), later = fly(plan, t + 3 * lap), earlier = fly(plan, t - lap);
    EXPECT_NEAR(now.lat_deg, later.lat_deg, 1e-9);
    EXPECT_NEAR(now.lon_deg, earlier.lon_deg, 1e-9);
    EXPECT_NEAR(now.elevation_m, earlier.elevation_m, 1e-6);
  }
}

TEST_F(FlightModelTest, VerticalAndIndicatedSpeedsAgreeWithTheFlight) {
  for (double t = 0; t < lap; t += 7.0) {
    FlightSample s = fly(plan, t);
    double climb_m_s = (fly(plan, t + 0.5).elevation_m - fly(plan, t - 0.5).elevation_m);
    EXPECT_NEAR(s.vertical_speed_fpm, climb_m_s * 196.85, 2.0) << "t=" << t;
    // Thinner air aloft: indicated a few percent below true (no wind, so true = ground).
    double true_kt = s.groundspeed_m_s * 1.943844;
    EXPECT_LT(s.indicated_airspeed_kt, true_kt * 0.97);
    EXPECT_GT(s.indicated_airspeed_kt, true_kt * 0.90);
  }
}

TEST_F(FlightModelTest, CentreFollowsThePlan) {
  plan.centre_lat_deg = -33.9;
  plan.centre_lon_deg = 151.2;
  FlightSample s = fly(plan, 42);
  EXPECT_NEAR(s.lat_deg, -33.9, 0.05);
  EXPECT_NEAR(s.lon_deg, 151.2, 0.05);
}

TEST(DatarefValue, ServesTheBridgesEightPathsAndNothingElse) {
  FlightSample s{1.5, 2.5, 3.5, 4.5, 5.5, 6.5, 7.5, 8.5};
  for (std::size_t row = 0; row < POSITION_FIELDS.size(); ++row) {
    auto value = dataref_value(s, POSITION_FIELDS[row].dataref_path);
    ASSERT_TRUE(value.has_value()) << POSITION_FIELDS[row].dataref_path;
    EXPECT_EQ(*value, 1.5f + static_cast<float>(row)) << POSITION_FIELDS[row].dataref_path;
  }
  EXPECT_FALSE(dataref_value(s, "sim/flightmodel/position/theta"));
  EXPECT_FALSE(dataref_value(s, "sim/flightmodel/position/latitude "));
  EXPECT_FALSE(dataref_value(s, ""));
}

}  // namespace
}  // namespace simrelay::standin
