// Answers of the update service as the update check receives them: the
// check reports to a loopback "service" socket, and the input's datagrams
// come back from that socket to the check's own one, each followed by
// Receive, as the loop would call it when the socket is readable.
//
// Input: byte 0 holds flags, then datagrams, each as a 2-byte big-endian
// length and its bytes (a length past the end takes the rest).
//   bit 0: leave the request id as it is (else it becomes the report's id,
//          which the fuzzer cannot guess: it is drawn at random)
//   bit 1: set the checksum of a single-fragment datagram to match its data,
//          so mutated answer texts reach the answer parser

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "config/log.h"
#include "config/settings.h"
#include "fuzz_support.h"
#include "status_datagrams.h"
#include "status/status_packet.h"
#include "status/update_check.h"
#include "util/clock.h"

namespace {

using namespace kestrune;

struct World {
  World() {
    log.SetDaemon(true);
    settings.name = "Kestrune test";
    service = fuzz::LoopbackUdpSocket(&servicePort);
  }
  FakeClock clock{500000, 1700000000};
  Log log{clock};
  ServerSettings settings;
  std::time_t startTime = 1700000000 - 5;
  int loggedOnUsers = 2;
  int service = -1;
  std::uint16_t servicePort = 0;
};

World& TheWorld() {
  static World* world = new World();  // lives for the whole run
  return *world;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  World& world = TheWorld();
  const std::uint8_t flags = data[0];
  std::srand(1);  // the report's id and keys, the same for every input
  world.clock.SetMs(500000);

  UpdateCheck check(UpdateCheckContext{world.clock, world.log, world.settings, world.startTime,
                                       world.loggedOnUsers, "3.0.2", "NetBSD-i386"});
  check.Prepare(fuzz::kLoopback, world.servicePort);
  world.clock.AdvanceMs(UpdateCheck::kFirstIntervalMs + 1);
  check.Tick();
  FUZZ_CHECK(check.Socket() >= 0);
  FUZZ_CHECK(fuzz::DrainDatagrams(world.service) == 1);  // the report
  sockaddr_in local{};
  socklen_t localLength = sizeof local;
  FUZZ_CHECK(getsockname(check.Socket(), reinterpret_cast<sockaddr*>(&local), &localLength) == 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(fuzz::kLoopback);
  to.sin_port = local.sin_port;

  for (std::vector<std::uint8_t>& datagram : fuzz::SplitDatagrams(data + 1, size - 1)) {
    if (check.Socket() < 0) break;  // the exchange is over
    // The check reads at most 512 bytes; a longer datagram would be cut there.
    if (datagram.size() > kStatusMaxDatagram) datagram.resize(kStatusMaxDatagram);
    fuzz::PatchDatagram(datagram, (flags & 1) != 0, check.RequestId(), (flags & 2) != 0);
    const ssize_t sent = sendto(world.service, datagram.data(), datagram.size(), 0,
                                reinterpret_cast<const sockaddr*>(&to), sizeof to);
    FUZZ_CHECK(sent == static_cast<ssize_t>(datagram.size()));
    check.Receive();
  }

  // The answer bounds hold whatever arrived.
  const UpdateTexts& texts = check.Texts();
  FUZZ_CHECK(texts.newestVersion.size() <= UpdateCheck::kMaxTextLength);
  FUZZ_CHECK(texts.downloadLocation.size() <= UpdateCheck::kMaxTextLength);
  FUZZ_CHECK(texts.requiredClient.size() <= UpdateCheck::kMaxTextLength);
  return 0;
}
