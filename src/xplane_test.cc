#include "xplane.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>

namespace simrelay {
namespace {

using std::chrono::nanoseconds;

std::string le32(std::uint32_t value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i)
    bytes[i] = static_cast<char>(value >> (8 * i));
  return bytes;
}

std::string record(std::uint32_t index, float value) {
  return le32(index) + le32(std::bit_cast<std::uint32_t>(value));
}

std::vector<RrefRecord> decode(const std::string& datagram) {
  auto reply = decode_rref_reply(std::span<const char>(datagram.data(), datagram.size()));
  EXPECT_TRUE(reply) << "not a reply";
  std::vector<RrefRecord> records;
  if (reply) {
    for (std::size_t k = 0; k < reply->size(); ++k)
      records.push_back((*reply)[k]);
  }
  return records;
}

bool is_reply(const std::string& datagram) {
  return decode_rref_reply(std::span<const char>(datagram.data(), datagram.size())).has_value();
}

TEST(RrefRequest, BytesOfRowsZeroAndFive) {
  RrefRequest zero = build_rref_request(0, 5);
  std::string expected("RREF\0\x05\0\0\0\0\0\0\0", 13);
  expected += "sim/flightmodel/position/latitude";
  expected.append(367, '\0');
  ASSERT_EQ(expected.size(), RREF_REQUEST_LEN);
  EXPECT_EQ(std::string(zero.data(), zero.size()), expected);

  RrefRequest five = build_rref_request(5, 5);
  expected = std::string("RREF\0\x05\0\0\0\x05\0\0\0", 13);
  expected += "sim/flightmodel/position/indicated_airspeed";
  expected.append(357, '\0');
  EXPECT_EQ(std::string(five.data(), five.size()), expected);
}

TEST(RrefReply, HeaderRules) {
  EXPECT_FALSE(is_reply(""));
  EXPECT_FALSE(is_reply("RREF"));
  EXPECT_FALSE(is_reply(std::string("RREX\0", 5) + record(0, 1.0f)));
  EXPECT_FALSE(is_reply(std::string("rref\0", 5) + record(0, 1.0f)));
  EXPECT_TRUE(decode("RREFx").empty());
  EXPECT_TRUE(decode(std::string("RREF\xff", 5) + "1234567").empty());  // 12 bytes: no record.
}

TEST(RrefReply, WholeRecordsOnlyInDatagramOrder) {
  std::string head("RREF,", 5);
  auto one = decode(head + record(2, 400.0f) + "1234567");  // 20 bytes
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].index, 2u);
  EXPECT_EQ(one[0].value, 400.0f);
  EXPECT_EQ(decode(head + record(2, 1.0f) + record(3, 2.0f)).size(), 2u);  // 21 bytes

  std::string all = head;
  const float values[] = {51.5f, -0.12f, 100.0f, 270.0f, 60.0f, 120.0f, -500.0f, 1000.0f};
  for (std::uint32_t i = 0; i < 8; ++i)
    all += record(i, values[i]);
  ASSERT_EQ(all.size(), 69u);
  auto eight = decode(all);
  ASSERT_EQ(eight.size(), 8u);
  for (std::uint32_t i = 0; i < 8; ++i) {
    EXPECT_EQ(eight[i].index, i);
    EXPECT_EQ(eight[i].value, values[i]);
  }
}

TEST(RrefReply, IndexesUnsignedAndValuesBitForBit) {
  std::uint32_t nan_bits = 0x7fc01234u;
  auto records = decode(std::string("RREF\0", 5) + record(8, 1.0f) + record(255, 2.0f) +
                        std::string("\xff\xff\xff\xff", 4) + le32(0) +
                        record(2, std::bit_cast<float>(nan_bits)));
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0].index, 8u);
  EXPECT_EQ(records[1].index, 255u);
  EXPECT_EQ(records[2].index, 0xffffffffu);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(records[3].value), nan_bits);
}

TEST(SubscriberDecisions, LinkLinesOnChangeOnly) {
  EXPECT_FALSE(link_change_line(false, false));
  EXPECT_FALSE(link_change_line(true, true));
  EXPECT_EQ(link_change_line(false, true), "✓ receiving data from X-Plane");
  EXPECT_EQ(link_change_line(true, false), "… waiting for X-Plane (is a flight loaded?)");
}

TEST(SubscriberDecisions, ResubscribeOnlyWhenNotLiveAndStrictlyAfterThreeSeconds) {
  MonotonicInstant sent = MonotonicInstant{} + std::chrono::hours(1);
  EXPECT_FALSE(resubscribe_due(false, sent, sent + nanoseconds(2999999999)));
  EXPECT_FALSE(resubscribe_due(false, sent, sent + nanoseconds(3000000000)));
  EXPECT_TRUE(resubscribe_due(false, sent, sent + nanoseconds(3000000001)));
  EXPECT_FALSE(resubscribe_due(true, sent, sent + std::chrono::seconds(60)));
  EXPECT_FALSE(resubscribe_due(false, sent, sent - std::chrono::seconds(60)));
}

}  // namespace
}  // namespace simrelay
