#include "state.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <type_traits>

namespace simrelay {
namespace {

using std::chrono::nanoseconds;
using std::chrono::system_clock;

std::string float_text(float value) {
  std::string out;
  append_float(out, value);
  return out;
}

TEST(FloatForm, ShortestDigitsLaidOutPositionally) {
  EXPECT_EQ(float_text(5.0f), "5");
  EXPECT_EQ(float_text(420.0f), "420");
  EXPECT_EQ(float_text(0.25f), "0.25");
  EXPECT_EQ(float_text(0.1f), "0.1");
  EXPECT_EQ(float_text(0.0000001f), "0.0000001");
  EXPECT_EQ(float_text(1e20f), "100000000000000000000");
  EXPECT_EQ(float_text(-122.5f), "-122.5");
  EXPECT_EQ(float_text(-0.0f), "-0");
  EXPECT_EQ(float_text(0.0f), "0");
  EXPECT_EQ(float_text(47.4647f), "47.4647");
  EXPECT_EQ(float_text(-0.12f), "-0.12");
  EXPECT_EQ(float_text(123456.7f), "123456.7");
  EXPECT_EQ(float_text(16777216.0f), "16777216");
  EXPECT_EQ(float_text(std::numeric_limits<float>::max()),
            "340282350000000000000000000000000000000");
  EXPECT_EQ(float_text(std::numeric_limits<float>::denorm_min()),
            "0.000000000000000000000000000000000000000000001");
}

TEST(FloatForm, EveryTextReadsBackToTheSameFloat) {
  // A spread of bit patterns across all exponents, both signs.
  for (std::uint32_t bits = 1; bits < 0x7f800000u; bits += 0x00fedcbau) {
    for (std::uint32_t sign : {0u, 0x80000000u}) {
      float value = std::bit_cast<float>(bits | sign);
      std::string text = float_text(value);
      EXPECT_EQ(text.find_first_of("eE+"), std::string::npos) << text;
      EXPECT_EQ(std::strtof(text.c_str(), nullptr), value) << text;
    }
  }
}

class SnapshotTest : public ::testing::Test {
 protected:
  static constexpr std::uint64_t WALL_MS = 1700000000123;
  system_clock::time_point wall{std::chrono::milliseconds(WALL_MS)};
  MonotonicInstant t0 = MonotonicInstant{} + std::chrono::hours(1);
  FlightState state;

  void apply(std::vector<RrefRecord> records) { state.apply_reply(records, t0, wall); }
};

TEST_F(SnapshotTest, FreshRecordIsNotLive) {
  EXPECT_EQ(state.snapshot_json(t0), R"({"xp":false})");
  EXPECT_EQ(state.reply_count(), 0u);
  EXPECT_FALSE(state.is_live(t0));
}

TEST_F(SnapshotTest, LiveSnapshotListsPresentFiniteValuesInRowOrder) {
  apply({{1, 8.25f}, {0, 47.5f}});
  EXPECT_EQ(state.snapshot_json(t0), R"({"xp":true,"t":1700000000123,"lat":47.5,"lon":8.25})");
  apply({{3, 270.0f}, {2, std::numeric_limits<float>::infinity()}});
  EXPECT_EQ(state.snapshot_json(t0),
            R"({"xp":true,"t":1700000000123,"lat":47.5,"lon":8.25,"hdg":270})");
  apply({{0, std::numeric_limits<float>::quiet_NaN()}, {7, -0.0f}, {4, -1e20f}});
  EXPECT_EQ(state.snapshot_json(t0),
            R"({"xp":true,"t":1700000000123,"lon":8.25,"hdg":270,"gs":-100000000000000000000,)"
            R"("agl":-0})");
}

TEST_F(SnapshotTest, LiveWindowIsThreeSecondsAtFullResolution) {
  apply({{0, 1.0f}, {1, 2.0f}});
  EXPECT_TRUE(state.is_live(t0 + nanoseconds(2999999999)));
  EXPECT_NE(state.snapshot_json(t0 + nanoseconds(2999999999)), R"({"xp":false})");
  EXPECT_FALSE(state.is_live(t0 + nanoseconds(3000000000)));
  EXPECT_EQ(state.snapshot_json(t0 + nanoseconds(3000000000)), R"({"xp":false})");
  EXPECT_EQ(state.snapshot_json(t0 + std::chrono::hours(5)), R"({"xp":false})");
  // A clock reading older than the reply counts as no time elapsed.
  EXPECT_TRUE(state.is_live(t0 - std::chrono::seconds(10)));
}

TEST_F(SnapshotTest, LatitudeAndLongitudeMustBothBePresent) {
  apply({{0, 47.5f}});
  EXPECT_EQ(state.snapshot_json(t0), R"({"xp":false})");
  apply({{2, 400.0f}, {3, 90.0f}});
  EXPECT_EQ(state.snapshot_json(t0), R"({"xp":false})");
  apply({{1, 8.0f}});
  EXPECT_EQ(state.snapshot_json(t0),
            R"({"xp":true,"t":1700000000123,"lat":47.5,"lon":8,"alt":400,"hdg":90})");
}

TEST_F(SnapshotTest, OutOfRangeIndexesChangeNoSlotButCountTheReply) {
  apply({{0, 1.0f}, {8, 9.0f}, {255, 9.0f}, {0xffffffffu, 9.0f}, {1, 2.0f}});
  EXPECT_EQ(state.reply_count(), 1u);
  EXPECT_EQ(state.snapshot_json(t0), R"({"xp":true,"t":1700000000123,"lat":1,"lon":2})");
}

TEST_F(SnapshotTest, LaterDuplicateWinsAndEmptyReplyStillStamps) {
  apply({{3, 90.0f}, {3, 91.0f}, {0, 1.0f}, {1, 2.0f}});
  // Stale, then an empty reply makes every stored value visible again.
  MonotonicInstant later = t0 + std::chrono::seconds(10);
  EXPECT_EQ(state.snapshot_json(later), R"({"xp":false})");
  state.apply_reply({}, later, wall + std::chrono::seconds(10));
  EXPECT_EQ(state.reply_count(), 2u);
  EXPECT_EQ(state.snapshot_json(later),
            R"({"xp":true,"t":1700000010123,"lat":1,"lon":2,"hdg":91})");
}

TEST_F(SnapshotTest, WallClockBefore1970GivesZero) {
  state.apply_reply(std::vector<RrefRecord>{{0, 1.0f}, {1, 2.0f}}, t0,
                    system_clock::time_point{} - std::chrono::hours(1));
  EXPECT_EQ(state.snapshot_json(t0), R"({"xp":true,"t":0,"lat":1,"lon":2})");
  EXPECT_EQ(milliseconds_since_epoch(system_clock::time_point{} + nanoseconds(1999999)), 1u);
}

TEST_F(SnapshotTest, ReplyCountWraps) {
  // Unsigned: after its largest value the count goes on at 0, which a stream
  // takes for a new reply like any other change.
  static_assert(std::is_same_v<decltype(state.reply_count()), std::uint64_t>);
}

}  // namespace
}  // namespace simrelay
