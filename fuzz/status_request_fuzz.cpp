// A status datagram as the server's UDP listener receives it: decoded on its
// own as a request and, when it decodes, answered by the responder over a
// connection table with two logged-on clients, a phantom and three channels.
// Replies go through a loopback socket to a loopback port and are read back
// and decoded as the status tool would.
//
// Input: the datagram. Its last byte also says how far the clock moves
// before the same request is answered a second time, so the 100-ms rule is
// met both ways.

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <vector>

#include "config/log.h"
#include "config/settings.h"
#include "fuzz_support.h"
#include "net/connection.h"
#include "status/status_packet.h"
#include "status/status_responder.h"
#include "store/server_properties.h"
#include "util/clock.h"

namespace {

using namespace kestrune;

constexpr std::uint32_t kStartMs = 90000;
constexpr std::time_t kWall = 1700000000;

struct World {
  World() {
    log.SetDaemon(true);
    settings.name = "Kestrune test, room";
    settings.phonetic = "Kes trune";
    settings.auth = 1;
    properties.comment = "Evening games=on";
    channels = {{5, 0, 0, "Main", "Talk, here"},
                {9, 5, 2, "Quiet=1", "100%"},
                {12, 0, 1, "Games", ""}};
    Add(1, "Ann", 0, true, false, 0);
    Add(2, "Rex, Jr", 9, true, true, 0);
    Add(3, "Rex, Jr", 5, false, false, 2);  // a phantom of Rex, its name hidden
    replyEnd = fuzz::LoopbackUdpSocket(&replyPort);
    sendSocket = fuzz::LoopbackUdpSocket();
  }

  void Add(std::uint16_t id, const char* name, std::uint16_t channel, bool visibleName, bool admin,
           std::uint16_t owner) {
    auto c = std::make_unique<Connection>(nullptr, id);
    c->loggedOn = owner == 0;
    c->phantomOwner = owner;
    c->administrator = admin;
    c->name = name;
    c->comment = "back in 5, maybe";
    c->channel = channel;
    c->pingTime = 31;
    c->connectTime = static_cast<std::uint32_t>(kWall - 60);
    visible[id] = visibleName ? 1 : 0;
    FUZZ_CHECK(table.Add(std::move(c), owner != 0) == 0);
  }

  FakeClock clock{kStartMs, kWall};
  Log log{clock};
  ConnectionTable table{clock, log};
  ServerSettings settings;
  ServerProperties properties;
  int idOffset = 100;
  std::time_t startTime = kWall - 3600;
  std::vector<StatusChannel> channels;
  std::uint16_t visible[8] = {};
  int replyEnd = -1;
  std::uint16_t replyPort = 0;
  int sendSocket = -1;
};

World& TheWorld() {
  static World* world = new World();  // lives for the whole run
  return *world;
}

// Reads one reply from the reply socket; true when a complete type-3 packet
// arrived under the request's id with NUL-terminated text.
bool ReadReply(World& world, std::uint16_t requestId) {
  std::unique_ptr<StatusPacket> reply = StatusPacket::CreateReceiving();
  std::uint8_t buffer[kStatusMaxDatagram + 64];
  ssize_t n;
  while ((n = recv(world.replyEnd, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0) {
    FUZZ_CHECK(static_cast<std::size_t>(n) <= kStatusMaxDatagram);
    const int result = reply->Decode(buffer, static_cast<std::size_t>(n), requestId);
    FUZZ_CHECK(result >= 0);
    if (result == kStatusComplete) {
      FUZZ_CHECK(reply->Type() == kStatusReply);
      FUZZ_CHECK(reply->DataLength() > 0 && reply->Data()[reply->DataLength() - 1] == 0);
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  World& world = TheWorld();
  world.clock.SetMs(kStartMs);
  world.clock.SetWall(kWall);

  sockaddr_in sender{};
  sender.sin_family = AF_INET;
  sender.sin_addr.s_addr = htonl(fuzz::kLoopback);
  sender.sin_port = htons(world.replyPort);
  StatusRequest request;
  if (DecodeStatusRequest(data, size, sender, request) != kStatusComplete) return 0;
  FUZZ_CHECK(request.address == fuzz::kLoopback && request.port == world.replyPort);

  // A fresh responder per input, so earlier inputs leave no rate stamps.
  StatusResponder responder(StatusResponderContext{
      world.table, world.settings, world.properties, world.clock, world.idOffset, world.startTime,
      "3.0.2", [&world] { return world.channels; },
      [&world](const Connection& c) { return world.visible[c.id % 8]; }});
  const bool answerable =
      (request.type == kStatusGeneralRequest || request.type == kStatusDetailRequest ||
       request.type == kStatusCompactRequest) &&
      request.data.size() >= kStatusRequestDataLength;

  responder.Answer(request, world.sendSocket);
  FUZZ_CHECK(ReadReply(world, request.requestId) == answerable);

  const std::uint32_t step = (data[size - 1] % 4) * 60u;  // 0, 60, 120 or 180 ms
  world.clock.AdvanceMs(step);
  responder.Answer(request, world.sendSocket);
  FUZZ_CHECK(ReadReply(world, request.requestId) == (answerable && step > 100));
  fuzz::DrainDatagrams(world.replyEnd);
  return 0;
}
