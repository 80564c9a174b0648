// The stand-in's side of X-Plane's RREF protocol: subscription requests in,
// a table of who wants which dataref how often, and reply datagrams out.
// Pure: the clock comes in as an argument, so tests step it by hand.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform.h"
#include "state.h"
#include "xplane.h"

namespace simrelay::standin {

// X-Plane answers no faster than it draws frames; a higher rate is served at this.
inline constexpr std::int32_t MAX_RATE_HZ = 60;
// Requests that come in a burst share their first reply: the eight
// requests of one subscriber arrive within microseconds of each other.
inline constexpr std::chrono::milliseconds GATHER_DELAY{10};
// Records per reply datagram, so one reply fits an Ethernet frame.
inline constexpr std::size_t MAX_RECORDS_PER_REPLY =
    (1472 - RREF_REPLY_HEADER_LEN) / RREF_RECORD_LEN;

// The fields of a subscription request (see RREF_REQUEST_LEN).
struct RrefSubscription {
  std::int32_t rate_hz;  // 0 cancels the index.
  std::int32_t index;    // The subscriber's own number, echoed in every record.
  std::string path;      // Up to the first zero byte of the path field.
};

// Nothing unless the datagram has a request's length and tag.
std::optional<RrefSubscription> decode_rref_request(std::span<const char> datagram);

// Nothing unless the datagram is a well-formed request with a rate of 0 or more.
std::optional<RrefSubscription> parse_rref_subscription(std::span<const char> datagram);

// A reply datagram as X-Plane sends it: "RREF,", then the records.
std::string encode_rref_reply(std::span<const RrefRecord> records);

enum class SubscriberChange { None, Started, Stopped };

struct DueRecord {
  std::int32_t index;
  std::string path;
};

// Everything one subscriber is owed at one moment: one reply's worth.
struct DueBatch {
  Ipv4Endpoint subscriber;
  std::vector<DueRecord> records;
};

class SubscriptionTable {
 public:
  // Adds, re-rates or cancels one index of one subscriber. Started when the
  // subscriber had nothing before; Stopped when its last index is cancelled.
  SubscriberChange apply(const Ipv4Endpoint& from, const RrefSubscription& request,
                         MonotonicInstant now);

  // The records due at `now`, one batch per subscriber, and moves each on
  // by its period. A stand-in that fell behind skips ahead instead of
  // sending a burst of stale replies.
  std::vector<DueBatch> take_due(MonotonicInstant now);

  // When the next record falls due; nothing while nobody is subscribed.
  std::optional<MonotonicInstant> next_due() const;

  std::size_t subscriber_count() const { return subscribers_.size(); }

 private:
  struct Entry {
    std::int32_t index;
    std::int32_t rate_hz;
    std::string path;
    MonotonicInstant due;
  };
  struct Subscriber {
    Ipv4Endpoint address;
    std::vector<Entry> entries;
  };

  Subscriber* find(const Ipv4Endpoint& address);
  SubscriberChange cancel(const Ipv4Endpoint& from, std::int32_t index);
  static MonotonicInstant first_due(const Subscriber& subscriber, std::int32_t index,
                                    std::int32_t rate_hz, MonotonicInstant now);

  std::vector<Subscriber> subscribers_;
};

// Replies with these records; more than MAX_RECORDS_PER_REPLY records are
// spread over several replies.
std::vector<std::string> build_rref_replies(std::span<const RrefRecord> records);

}  // namespace simrelay::standin
