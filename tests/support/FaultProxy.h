// A hostile network between a program under test and a device: a TCP proxy
// on 127.0.0.1 that forwards every connection it accepts to a target port
// and, on the way, delays the bytes, delivers them in small pieces, holds
// them up, resets the connection or closes one direction.
//
//   FaultProxy slow(sim.Port(), FaultProxy::Faults().Latency(200).Pieces(1));
//   FaultProxy cut(sim.Port(), FaultProxy::Faults()
//                                  .ToDevice(FaultProxy::Leg().ResetAfter(300000))
//                                  .OnlyConnection(1));
//   ... point the program at 127.0.0.1:slow.Port() ...
//   EXPECT_EQ(cut.Seen().resets, 1u);
//
// The proxy runs on one Asio loop in a thread of its own, so a test that
// blocks (waiting for a child process, serving Qt events) does not hold it
// up. Connections are numbered from 1 in the order they are accepted; the
// faults apply to every connection or to one of them only, so "reset the
// first run, let the retry through" is one proxy. Byte counts are per
// connection and direction and count bytes delivered, so a fault after N
// bytes lets exactly N through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>

namespace mervix::testing {

class FaultProxy {
 public:
  static constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();

  // What one direction does to the bytes it carries.
  struct Leg {
    int latencyMs = 0;                   // each chunk is delivered this long after it arrived
    std::size_t pieceBytes = 0;          // written at most this many bytes at a time; 0: as read
    int pieceGapMs = 0;                  // pause after each piece, so that a receiver reading
                                         // promptly gets the pieces one by one, not gathered
    std::uint64_t stallAfter = kNever;   // after this many bytes nothing moves for stallMs (once)
    int stallMs = 0;
    std::uint64_t resetAfter = kNever;   // after this many bytes both sides are reset (RST)
    std::uint64_t halfCloseAfter = kNever;  // after this many bytes the receiver sees the end of
                                            // the stream; what follows is dropped

    Leg& Latency(int ms) {
      latencyMs = ms;
      return *this;
    }
    Leg& Pieces(std::size_t bytes, int gapMs = 0) {
      pieceBytes = bytes;
      pieceGapMs = gapMs;
      return *this;
    }
    Leg& Stall(std::uint64_t afterBytes, int ms) {
      stallAfter = afterBytes;
      stallMs = ms;
      return *this;
    }
    Leg& ResetAfter(std::uint64_t bytes) {
      resetAfter = bytes;
      return *this;
    }
    Leg& HalfCloseAfter(std::uint64_t bytes) {
      halfCloseAfter = bytes;
      return *this;
    }
  };

  struct Faults {
    Leg toDevice;             // from the accepted connection to the target
    Leg toClient;             // from the target back
    unsigned connection = 0;  // 0: every connection; k: only the k-th, the others pass untouched

    // Latency and pieces in both directions.
    Faults& Latency(int ms) {
      toDevice.latencyMs = toClient.latencyMs = ms;
      return *this;
    }
    Faults& Pieces(std::size_t bytes) {
      toDevice.pieceBytes = toClient.pieceBytes = bytes;
      return *this;
    }
    Faults& ToDevice(const Leg& leg) {
      toDevice = leg;
      return *this;
    }
    Faults& ToClient(const Leg& leg) {
      toClient = leg;
      return *this;
    }
    Faults& OnlyConnection(unsigned k) {
      connection = k;
      return *this;
    }
  };

  // What the proxy has done so far.
  struct Counts {
    unsigned connections = 0;  // accepted
    unsigned stalls = 0;
    unsigned resets = 0;       // injected, not passed on from either side
    unsigned halfCloses = 0;   // injected
    std::uint64_t bytesToDevice = 0;  // delivered, over all connections
    std::uint64_t bytesToClient = 0;
  };

  // Listens on an ephemeral port of 127.0.0.1 and forwards to
  // 127.0.0.1:|targetPort|, clean or with |faults|. Port() is 0 when it
  // could not listen.
  explicit FaultProxy(std::uint16_t targetPort);
  FaultProxy(std::uint16_t targetPort, const Faults& faults);
  // Stops the loop; connections still open are closed.
  ~FaultProxy();
  FaultProxy(const FaultProxy&) = delete;
  FaultProxy& operator=(const FaultProxy&) = delete;

  std::uint16_t Port() const;
  // A snapshot; safe from any thread.
  Counts Seen() const;

 private:
  class Loop;
  std::unique_ptr<Loop> loop_;
};

}  // namespace mervix::testing
