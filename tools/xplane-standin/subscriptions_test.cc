#include "subscriptions.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>

#include "config.h"
#include "xplane.h"

namespace simrelay::standin {
namespace {

using std::chrono::milliseconds;

std::array<char, 413> request_bytes(std::int32_t rate, std::int32_t index, std::string_view path) {
  std::array<char, 413> bytes{};
  std::memcpy(bytes.data(), "RREF", 5);
  std::memcpy(bytes.data() + 5, &rate, 4);  // Little-endian hosts only, as is the test machine.
  std::memcpy(bytes.data() + 9, &index, 4);
  std::memcpy(bytes.data() + 13, path.data(), path.size());
  return bytes;
}

RrefSubscription subscription(std::int32_t rate, std::int32_t index,
                              std::string path = "sim/flightmodel/position/latitude") {
  return {rate, index, std::move(path)};
}

std::vector<std::int32_t> indexes_of(const DueBatch& batch) {
  std::vector<std::int32_t> indexes;
  for (const DueRecord& record : batch.records)
    indexes.push_back(record.index);
  return indexes;
}

TEST(ParseRrefSubscription, ReadsTheBridgesOwnRequests) {
  for (std::size_t row = 0; row < POSITION_FIELDS.size(); ++row) {
    RrefRequest bytes = build_rref_request(row, RREF_RATE_HZ);
    auto parsed = parse_rref_subscription(bytes);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->rate_hz, 5);
    EXPECT_EQ(parsed->index, static_cast<std::int32_t>(row));
    EXPECT_EQ(parsed->path, POSITION_FIELDS[row].dataref_path);
  }
}

TEST(ParseRrefSubscription, RejectsWhatIsNotARequest) {
  auto good = request_bytes(5, 0, "sim/x");
  std::span<const char> all(good);
  EXPECT_TRUE(parse_rref_subscription(all));
  EXPECT_FALSE(parse_rref_subscription(all.first(412)));
  std::vector<char> longer(good.begin(), good.end());
  longer.push_back(0);
  EXPECT_FALSE(parse_rref_subscription(longer));
  EXPECT_FALSE(parse_rref_subscription({}));

  auto other_tag = good;
  other_tag[3] = 'f';
  EXPECT_FALSE(parse_rref_subscription(other_tag));
  EXPECT_FALSE(parse_rref_subscription(request_bytes(-1, 0, "sim/x")));
}

TEST(ParseRrefSubscription, TakesAnyByteAfterTheTag) {
  for (char fifth : {'0', ',', '\xff'}) {
    auto request = request_bytes(5, 2, "sim/x");
    request[4] = fifth;
    auto parsed = parse_rref_subscription(request);
    ASSERT_TRUE(parsed) << fifth;
    EXPECT_EQ(parsed->index, 2);
    EXPECT_EQ(parsed->path, "sim/x");
  }
}

TEST(ParseRrefSubscription, KeepsIndexAsSentAndCutsPathAtItsZero) {
  auto parsed = parse_rref_subscription(request_bytes(0, -7, "sim/a\0junk"));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->rate_hz, 0);
  EXPECT_EQ(parsed->index, -7);
  EXPECT_EQ(parsed->path, "sim/a");

  std::string full(400, 'p');  // No terminating zero: the whole field is the path.
  parsed = parse_rref_subscription(request_bytes(1, 1, full));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->path, full);
}

class SubscriptionTableTest : public ::testing::Test {
 protected:
  const MonotonicInstant t0 = MonotonicInstant{} + std::chrono::hours(1);
  const Ipv4Endpoint bridge{{127, 0, 0, 1}, 50001};
  const Ipv4Endpoint other{{127, 0, 0, 1}, 50002};
  SubscriptionTable table;

  void subscribe_eight(const Ipv4Endpoint& from, MonotonicInstant at, std::int32_t rate = 5) {
    for (std::int32_t i = 0; i < 8; ++i) {
      auto path = std::string(POSITION_FIELDS[static_cast<std::size_t>(i)].dataref_path);
      table.apply(from, subscription(rate, i, path), at + std::chrono::microseconds(i));
    }
  }

  // Steps the clock in 1 ms ticks and counts the batches sent.
  int batches_between(MonotonicInstant from, MonotonicInstant to, const Ipv4Endpoint& who) {
    int count = 0;
    for (MonotonicInstant t = from; t < to; t += milliseconds(1)) {
      for (const DueBatch& batch : table.take_due(t))
        count += batch.subscriber == who;
    }
    return count;
  }
};

TEST_F(SubscriptionTableTest, ABurstOfRequestsSharesEveryReply) {
  EXPECT_EQ(table.apply(bridge, subscription(5, 0), t0), SubscriberChange::Started);
  for (std::int32_t i = 1; i < 8; ++i)
    EXPECT_EQ(table.apply(bridge, subscription(5, i), t0), SubscriberChange::None);
  EXPECT_TRUE(table.take_due(t0).empty());
  EXPECT_EQ(table.next_due(), t0 + GATHER_DELAY);

  for (MonotonicInstant t : {t0 + GATHER_DELAY, t0 + GATHER_DELAY + milliseconds(200)}) {
    auto batches = table.take_due(t);
    ASSERT_EQ(batches.size(), 1u);
    EXPECT_EQ(batches[0].subscriber, bridge);
    EXPECT_EQ(indexes_of(batches[0]), (std::vector<std::int32_t>{0, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_TRUE(table.take_due(t + milliseconds(199)).empty());
  }
}

TEST_F(SubscriptionTableTest, ServesEachIndexAtItsOwnRate) {
  table.apply(bridge, subscription(5, 0), t0);
  table.apply(bridge, subscription(20, 1), t0);
  int five_hz = 0, twenty_hz = 0;
  for (MonotonicInstant t = t0; t < t0 + milliseconds(2000); t += milliseconds(1)) {
    for (const DueBatch& batch : table.take_due(t)) {
      for (std::int32_t index : indexes_of(batch))
        ++(index == 0 ? five_hz : twenty_hz);
    }
  }
  EXPECT_EQ(five_hz, 10);
  EXPECT_EQ(twenty_hz, 40);
}

TEST_F(SubscriptionTableTest, RatesAboveTheFrameRateAreCapped) {
  table.apply(bridge, subscription(100000, 0), t0);
  EXPECT_EQ(batches_between(t0, t0 + milliseconds(1000), bridge), MAX_RATE_HZ);
}

TEST_F(SubscriptionTableTest, SubscribersAreKeptApartByAddress) {
  EXPECT_EQ(table.apply(bridge, subscription(5, 3, "sim/a"), t0), SubscriberChange::Started);
  EXPECT_EQ(table.apply(other, subscription(5, 3, "sim/b"), t0), SubscriberChange::Started);
  EXPECT_EQ(table.subscriber_count(), 2u);
  auto batches = table.take_due(t0 + GATHER_DELAY);
  ASSERT_EQ(batches.size(), 2u);
  EXPECT_EQ(batches[0].subscriber, bridge);
  EXPECT_EQ(batches[0].records[0].path, "sim/a");
  EXPECT_EQ(batches[1].subscriber, other);
  EXPECT_EQ(batches[1].records[0].path, "sim/b");

  EXPECT_EQ(table.apply(other, subscription(0, 3), t0), SubscriberChange::Stopped);
  batches = table.take_due(t0 + GATHER_DELAY + milliseconds(200));
  ASSERT_EQ(batches.size(), 1u);
  EXPECT_EQ(batches[0].subscriber, bridge);
}

TEST_F(SubscriptionTableTest, RateZeroCancelsOneIndexAndTheLastStopsTheSubscriber) {
  subscribe_eight(bridge, t0);
  EXPECT_EQ(table.apply(bridge, subscription(0, 3), t0), SubscriberChange::None);
  EXPECT_EQ(table.apply(bridge, subscription(0, 42), t0), SubscriberChange::None);
  EXPECT_EQ(table.apply(other, subscription(0, 1), t0), SubscriberChange::None);
  auto batches = table.take_due(t0 + GATHER_DELAY);
  ASSERT_EQ(batches.size(), 1u);
  EXPECT_EQ(indexes_of(batches[0]), (std::vector<std::int32_t>{0, 1, 2, 4, 5, 6, 7}));

  for (std::int32_t i : {0, 1, 2, 4, 5, 6})
    EXPECT_EQ(table.apply(bridge, subscription(0, i), t0), SubscriberChange::None);
  EXPECT_EQ(table.apply(bridge, subscription(0, 7), t0), SubscriberChange::Stopped);
  EXPECT_EQ(table.subscriber_count(), 0u);
  EXPECT_FALSE(table.next_due());
  EXPECT_TRUE(table.take_due(t0 + milliseconds(1000)).empty());
  EXPECT_EQ(table.apply(bridge, subscription(5, 0), t0), SubscriberChange::Started);
}

// The bridge re-sends all eight requests every 3 s while it is not live:
// that must neither restart the rhythm nor add replies.
TEST_F(SubscriptionTableTest, RepeatedRequestsKeepTheRhythm) {
  subscribe_eight(bridge, t0);
  MonotonicInstant first = t0 + GATHER_DELAY;
  ASSERT_EQ(table.take_due(first).size(), 1u);
  subscribe_eight(bridge, first + milliseconds(100));
  EXPECT_EQ(table.next_due(), first + milliseconds(200));
  EXPECT_EQ(batches_between(first + milliseconds(100), first + milliseconds(3000), bridge), 14);
}

TEST_F(SubscriptionTableTest, ANewRateTakesOverAndANewPathIsServed) {
  table.apply(bridge, subscription(5, 0, "sim/old"), t0);
  table.apply(bridge, subscription(5, 0, "sim/new"), t0);
  auto batches = table.take_due(t0 + GATHER_DELAY);
  ASSERT_EQ(batches.size(), 1u);
  EXPECT_EQ(batches[0].records[0].path, "sim/new");

  table.apply(bridge, subscription(1, 0), t0 + GATHER_DELAY);
  EXPECT_EQ(batches_between(t0 + milliseconds(20), t0 + milliseconds(3020), bridge), 3);
}

TEST_F(SubscriptionTableTest, AStandInThatFellBehindSkipsAhead) {
  table.apply(bridge, subscription(5, 0), t0);
  MonotonicInstant late = t0 + std::chrono::seconds(5);
  EXPECT_EQ(table.take_due(late).size(), 1u);
  EXPECT_TRUE(table.take_due(late).empty());
  EXPECT_EQ(table.next_due(), late + milliseconds(200));
}

// X-Plane's side of the wire, which the test feeds use too.
TEST(RrefSimulatorSide, RequestsDecodeAndRepliesEncodeByteForByte) {
  RrefRequest request = build_rref_request(5, 5);
  auto decoded = decode_rref_request(request);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->rate_hz, 5);
  EXPECT_EQ(decoded->index, 5);
  EXPECT_EQ(decoded->path, "sim/flightmodel/position/indicated_airspeed");
  EXPECT_FALSE(decode_rref_request(std::span<const char>(request).first(RREF_REQUEST_LEN - 1)));

  std::vector<RrefRecord> records = {{2, 400.0f}, {0xfffffff9u, -1.5f}};
  std::string expected = "RREF," + std::string(16, '\0');
  put_le32(expected.data() + 5, 2);
  put_le32(expected.data() + 9, std::bit_cast<std::uint32_t>(400.0f));
  put_le32(expected.data() + 13, 0xfffffff9u);
  put_le32(expected.data() + 17, std::bit_cast<std::uint32_t>(-1.5f));
  EXPECT_EQ(encode_rref_reply(records), expected);
  EXPECT_EQ(encode_rref_reply({}), "RREF,");
}

TEST(BuildRrefReplies, TheBridgeReadsBackEveryRecord) {
  std::vector<RrefRecord> records{{0, 47.5f}, {7, -1.25f}, {0xfffffff9u, 3.0f}};
  auto replies = build_rref_replies(records);
  ASSERT_EQ(replies.size(), 1u);
  ASSERT_EQ(replies[0].size(), 5u + 3 * 8);
  EXPECT_EQ(replies[0].substr(0, 4), "RREF");
  // Index 0, then 47.5f (0x423e0000), both little-endian.
  EXPECT_EQ(replies[0].substr(5, 8), std::string("\x00\x00\x00\x00\x00\x00\x3e\x42", 8));

  auto decoded = decode_rref_reply(replies[0]);
  ASSERT_TRUE(decoded);
  ASSERT_EQ(decoded->size(), 3u);
  for (std::size_t k = 0; k < records.size(); ++k) {
    EXPECT_EQ((*decoded)[k].index, records[k].index);
    EXPECT_EQ((*decoded)[k].value, records[k].value);
  }
}

TEST(BuildRrefReplies, LongListsAreSpreadOverFrameSizedReplies) {
  EXPECT_TRUE(build_rref_replies({}).empty());
  std::vector<RrefRecord> records(200, RrefRecord{1, 2.0f});
  auto replies = build_rref_replies(records);
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0].size(), 5 + 8 * MAX_RECORDS_PER_REPLY);
  EXPECT_EQ(replies[1].size(), 5 + 8 * (200 - MAX_RECORDS_PER_REPLY));
  EXPECT_LE(replies[0].size(), 1472u);
}

}  // namespace
}  // namespace simrelay::standin
