// The load of the relay benchmark: N talkers and M listeners on one relay,
// every talker sending MSG_VOICE data at a fixed rate, every client counting
// what it receives. Each data packet carries its talker, a sequence number and
// its send time, so loss and latency are measured here, on the receiving side.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#include "bench/relay_processes.h"

namespace kestrune::bench {

// How the clients speak to the relay: the server's stream (handshake, login,
// scrambling) or plain frames for the bare relay.
enum class Wire { kServer, kRaw };

struct LoadOptions {
  Wire wire = Wire::kServer;
  int talkers = 8;
  int listeners = 0;
  double rate = 50;     // data packets per second per talker
  int dataBytes = 300;  // voice data bytes per packet
  double seconds = 10;  // measured interval
  double warmupSeconds = 1;
  int voiceCodec = 0;
  int voiceFormat = 0;
  // The last listener stops reading when the talkers start, with this
  // SO_RCVBUF set before it connects.
  bool slowReader = false;
  int slowReceiveBuffer = 4096;
  // The first client binds 127.0.0.<firstAddress>, the next one more.
  int firstAddress = 20;
};

struct LoadResult {
  std::string error;             // empty when the run completed
  double seconds = 0;            // the measured interval
  std::uint64_t sent = 0;        // data packets sent in the interval
  std::uint64_t expected = 0;    // their copies due to the measured receivers
  std::uint64_t delivered = 0;   // copies received
  std::uint64_t malformed = 0;   // data packets that did not read back
  std::uint64_t sendStalls = 0;  // sends that found a talker's socket full
  double p50Us = 0;
  double p99Us = 0;
  double maxUs = 0;
  double talkersP99Us = 0;  // p99 of the copies that reached talkers only
  std::uint64_t cpuNs = 0;  // the relay's CPU time over the interval and its drain
  double cpuWindowSeconds = 0;
  std::uint64_t clientCpuNs = 0;  // the benchmark's own, over the same window
  int unexpectedCloses = 0;       // measured clients the relay closed
  // Slow reader only: whether the relay cut it off, and when (seconds after
  // it stopped reading, from the relay's log; negative when not seen there).
  bool slowCutOff = false;
  double slowCutOffAfter = -1;

  double DeliveredPerSecond() const { return seconds > 0 ? delivered / seconds : 0; }
  std::uint64_t Lost() const { return expected > delivered ? expected - delivered : 0; }
  double LossPercent() const { return expected > 0 ? 100.0 * Lost() / expected : 0; }
  double CpuNsPerDelivered() const { return delivered > 0 ? double(cpuNs) / delivered : 0; }
  double CpuPercent() const { return PercentOfCore(cpuNs); }
  double ClientCpuPercent() const { return PercentOfCore(clientCpuNs); }
  double PercentOfCore(std::uint64_t ns) const {
    return cpuWindowSeconds > 0 ? 100.0 * (ns / 1e9) / cpuWindowSeconds : 0;
  }
};

// The largest data byte count a server with this codec and format relays, or
// -1 for a pair outside its table.
int VoiceDataLimit(int codec, int format);

// Runs the load against `relay` (already started). `stop` ends it early.
LoadResult RunLoad(const Relay& relay, const LoadOptions& options,
                   const volatile std::sig_atomic_t& stop);

}  // namespace kestrune::bench
