#include "subscriptions.h"

#include <algorithm>
#include <cstring>

namespace simrelay::standin {
namespace {

MonotonicClock::duration period_of(std::int32_t rate_hz) {
  auto rate = std::min(rate_hz, MAX_RATE_HZ);
  return std::chrono::duration_cast<MonotonicClock::duration>(std::chrono::seconds(1)) / rate;
}

}  // namespace

std::optional<RrefSubscription> decode_rref_request(std::span<const char> datagram) {
  if (datagram.size() != RREF_REQUEST_LEN) return std::nullopt;
  // X-Plane looks at the tag alone: clients that send "RREF0" are served too.
  if (std::memcmp(datagram.data(), "RREF", 4) != 0) return std::nullopt;
  const char* path = datagram.data() + RREF_PATH_OFFSET;
  std::size_t length = std::find(path, path + DATAREF_PATH_LEN, '\0') - path;
  return RrefSubscription{static_cast<std::int32_t>(get_le32(datagram.data() + RREF_RATE_OFFSET)),
                          static_cast<std::int32_t>(get_le32(datagram.data() + RREF_INDEX_OFFSET)),
                          std::string(path, length)};
}

std::optional<RrefSubscription> parse_rref_subscription(std::span<const char> datagram) {
  std::optional<RrefSubscription> request = decode_rref_request(datagram);
  if (!request || request->rate_hz < 0) return std::nullopt;
  return request;
}

SubscriptionTable::Subscriber* SubscriptionTable::find(const Ipv4Endpoint& address) {
  auto it = std::find_if(subscribers_.begin(), subscribers_.end(),
                         [&](const Subscriber& s) { return s.address == address; });
  return it == subscribers_.end() ? nullptr : &*it;
}

// A new or re-rated index joins an index of the same rate, so that they
// travel in one reply; alone, it waits a moment for its siblings.
MonotonicInstant SubscriptionTable::first_due(const Subscriber& subscriber, std::int32_t index,
                                              std::int32_t rate_hz, MonotonicInstant now) {
  for (const Entry& entry : subscriber.entries) {
    if (entry.index != index && entry.rate_hz == rate_hz) return entry.due;
  }
  return now + GATHER_DELAY;
}

SubscriberChange SubscriptionTable::cancel(const Ipv4Endpoint& from, std::int32_t index) {
  Subscriber* subscriber = find(from);
  if (subscriber == nullptr) return SubscriberChange::None;
  std::erase_if(subscriber->entries, [&](const Entry& e) { return e.index == index; });
  if (!subscriber->entries.empty()) return SubscriberChange::None;
  std::erase_if(subscribers_, [&](const Subscriber& s) { return s.address == from; });
  return SubscriberChange::Stopped;
}

SubscriberChange SubscriptionTable::apply(const Ipv4Endpoint& from, const RrefSubscription& request,
                                          MonotonicInstant now) {
  if (request.rate_hz == 0) return cancel(from, request.index);

  SubscriberChange change = SubscriberChange::None;
  Subscriber* subscriber = find(from);
  if (subscriber == nullptr) {
    subscribers_.push_back({from, {}});
    subscriber = &subscribers_.back();
    change = SubscriberChange::Started;
  }
  auto& entries = subscriber->entries;
  auto it = std::find_if(entries.begin(), entries.end(),
                         [&](const Entry& e) { return e.index == request.index; });
  if (it == entries.end()) {
    entries.push_back({request.index, request.rate_hz, request.path,
                       first_due(*subscriber, request.index, request.rate_hz, now)});
  } else {
    it->path = request.path;
    // A repeated request at the same rate (the bridge re-sends while it
    // waits) keeps the index's rhythm.
    if (it->rate_hz != request.rate_hz) {
      it->rate_hz = request.rate_hz;
      it->due = first_due(*subscriber, request.index, request.rate_hz, now);
    }
  }
  return change;
}

std::vector<DueBatch> SubscriptionTable::take_due(MonotonicInstant now) {
  std::vector<DueBatch> batches;
  for (Subscriber& subscriber : subscribers_) {
    DueBatch batch{subscriber.address, {}};
    for (Entry& entry : subscriber.entries) {
      if (entry.due > now) continue;
      batch.records.push_back({entry.index, entry.path});
      entry.due += period_of(entry.rate_hz);
      if (entry.due <= now) entry.due = now + period_of(entry.rate_hz);
    }
    if (!batch.records.empty()) batches.push_back(std::move(batch));
  }
  return batches;
}

std::optional<MonotonicInstant> SubscriptionTable::next_due() const {
  std::optional<MonotonicInstant> earliest;
  for (const Subscriber& subscriber : subscribers_) {
    for (const Entry& entry : subscriber.entries) {
      if (!earliest || entry.due < *earliest) earliest = entry.due;
    }
  }
  return earliest;
}

std::string encode_rref_reply(std::span<const RrefRecord> records) {
  std::string reply(RREF_REPLY_HEADER_LEN + records.size() * RREF_RECORD_LEN, '\0');
  std::memcpy(reply.data(), "RREF,", RREF_REPLY_HEADER_LEN);  // X-Plane puts a comma there.
  char* at = reply.data() + RREF_REPLY_HEADER_LEN;
  for (const RrefRecord& record : records) {
    std::uint32_t bits;
    std::memcpy(&bits, &record.value, sizeof bits);
    put_le32(at, record.index);
    put_le32(at + 4, bits);
    at += RREF_RECORD_LEN;
  }
  return reply;
}

std::vector<std::string> build_rref_replies(std::span<const RrefRecord> records) {
  std::vector<std::string> replies;
  while (!records.empty()) {
    auto part = records.first(std::min(records.size(), MAX_RECORDS_PER_REPLY));
    replies.push_back(encode_rref_reply(part));
    records = records.subspan(part.size());
  }
  return replies;
}

}  // namespace simrelay::standin
