// A stand-in for X-Plane on a loopback address: answers the bridge's RREF
// subscriptions with one reply datagram of eight records at a fixed rate.
// The altitude record carries a sequence number, so that an event can be
// traced back to the datagram that brought its value.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "platform.h"
#include "state.h"

namespace simrelay::bench {

// A reply datagram: "RREF", one byte, then (int32 index, float value)
// records, little-endian. The altitude (row 2) is `sequence`.
std::vector<char> build_reply(std::uint32_t sequence);

// The sequence number an event's JSON carries in "alt", if any.
std::optional<std::uint32_t> sequence_in_snapshot(std::string_view json);

class FakeXPlane {
 public:
  // Binds UDP port 49000 on the first free address from `first` to `last`
  // (the last byte of 127.0.0.x). Nothing when none is free.
  static std::unique_ptr<FakeXPlane> open(std::uint8_t first, std::uint8_t last,
                                          std::chrono::milliseconds period);
  ~FakeXPlane();

  const Ipv4Endpoint& address() const { return address_; }
  std::string host() const;

  // When the datagram with this sequence number was sent.
  std::optional<MonotonicInstant> sent_at(std::uint32_t sequence) const;
  // Subscriptions seen so far (413-byte RREF requests).
  std::uint64_t requests_seen() const { return requests_.load(); }
  // Stops answering those who subscribed so far.
  void forget_subscribers();

 private:
  FakeXPlane(Socket socket, Ipv4Endpoint address, std::chrono::milliseconds period);
  void run();
  void take_datagram(std::span<const char> datagram, const Ipv4Endpoint& sender);
  void send_replies();

  static constexpr std::size_t HISTORY = 1 << 16;

  Socket socket_;
  Ipv4Endpoint address_;
  std::chrono::milliseconds period_;
  std::mutex mutex_;  // Guards subscribers_.
  std::vector<Ipv4Endpoint> subscribers_;
  std::unique_ptr<std::array<std::atomic<std::int64_t>, HISTORY>> sent_ns_;
  std::atomic<std::uint32_t> sequence_{1};
  std::atomic<std::uint64_t> requests_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace simrelay::bench
