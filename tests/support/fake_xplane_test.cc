#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_xplane.h"
#include "xplane.h"

namespace simrelay::support {
namespace {

TEST(FakeXPlane, RepliesCarryTheSequenceAsAltitude) {
  std::string reply = feed_reply(123456);
  auto decoded = decode_rref_reply(reply);
  ASSERT_TRUE(decoded);
  ASSERT_EQ(decoded->size(), 8u);
  EXPECT_EQ((*decoded)[2].index, 2u);
  EXPECT_EQ((*decoded)[2].value, 123456.0f);
  EXPECT_EQ(sequence_in_snapshot(R"({"xp":true,"t":5,"lat":1.5,"alt":123456,"hdg":2})"), 123456u);
  EXPECT_EQ(sequence_in_snapshot(R"({"xp":false})"), std::nullopt);
}

}  // namespace
}  // namespace simrelay::support
