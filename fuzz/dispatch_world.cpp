#include "dispatch_world.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "server/loop.h"

namespace kestrune::fuzz {
namespace {

void WriteFile(const std::string& path, const std::string& text) {
  WriteWholeFile(path, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// The stores as every input starts with them: handlers rewrite them.
void WriteStores(const std::string& prefix) {
  WriteFile(prefix + ".ini", SettingsText());
  WriteFile(prefix + ".usr", AccountsText());
  WriteFile(prefix + ".chn", ChannelsText());
  WriteFile(prefix + ".prop", "[SrvProp]\nChannelOrdering=1\n");
  WriteFile(prefix + ".rank", "[1]\nLevel=5\nAbbrev=Op\nDescr=Operators\n");
  WriteFile(prefix + ".ban", "10.9.8.7,Someone,AUTO,Spamming\n");
  unlink((prefix + ".motd").c_str());
  unlink((prefix + ".gmotd").c_str());
}

}  // namespace

World::World() : server_(clock_) {
  std::srand(1);
  const std::string prefix = ScratchFile("k");
  WriteStores(prefix);
  server_.files().SetPrefix(prefix);
  server_.log().SetDaemon(true);
  FUZZ_CHECK(server_.log().Open("/dev/null") == 0);
  server_.accountSaveDelay = 10;
  server_.LoadServerProperties();
  FUZZ_CHECK(server_.LoadSettings() == 0);
  server_.LoadBans();
  server_.startTime = clock_.WallSeconds();
  server_.LoadRanks();
  FUZZ_CHECK(server_.LoadAccounts() == 0);
  services_ = std::make_unique<ServerServices>(server_, ConsoleSwitches{});
  for (std::size_t i = 0; i < kClients; ++i) Connect(i);
}

World::~World() {
  services_.reset();
  server_.CloseConnections();
  for (Client& client : clients_) {
    if (client.peer >= 0) close(client.peer);
  }
}

void World::Run(const std::uint8_t* data, std::size_t size) {
  std::size_t at = 0;
  while (size - at >= 3) {
    const std::uint8_t control = data[at++];
    std::uint8_t clockStep = 0;
    if ((control & 4u) != 0) clockStep = data[at++];
    if (size - at < 2) break;
    std::size_t length =
        ((static_cast<std::size_t>(data[at]) << 8) | data[at + 1]) % (Message::kMaxLength + 1);
    at += 2;
    if (length > size - at) length = size - at;
    Step(control, clockStep, data + at, length);
    at += length;
  }
}

std::uint16_t World::ClientId(std::size_t index) const {
  const Connection* c = clients_[index].connection;
  return c != nullptr ? c->id : 0;
}

std::uint16_t World::ChannelId(const std::string& path) {
  const Channel* channel = server_.channels().FindChannelByPath(path);
  return channel != nullptr ? channel->id : 0;
}

void World::Step(std::uint8_t control, std::uint8_t clockStep, const std::uint8_t* bytes,
                 std::size_t length) {
  const std::size_t index = control & 3u;
  if ((control & 4u) != 0) {
    clock_.AdvanceMs(clockStep * 50u);
    ConnectionHousekeeping(server_);
    SaveStoresIfDue(server_);
    Reap();
  }
  if ((control & 8u) != 0 && clients_[index].connection == nullptr) Connect(index);
  Client& client = clients_[index];
  if (client.connection == nullptr || length == 0) return;
  Message message(length);
  std::memcpy(message.Data(), bytes, length);
  Deliver(*client.connection, message);
  Reap();
}

// As the loop serves a message: nothing reaches a connection that closes.
void World::Deliver(Connection& connection, Message& message) {
  if (connection.closing || connection.socket < 0) return;
  server_.hooks.dispatch(connection, message);
}

// The loop's reap step, then what the clients were sent is read and
// dropped, and every client whose connection went is forgotten.
void World::Reap() {
  ReapConnections(server_);
  for (Client& client : clients_) {
    if (client.connection == nullptr) continue;
    if (!InTable(client.connection)) {
      client.connection = nullptr;
      close(client.peer);
      client.peer = -1;
      continue;
    }
    server_.table().Flush(*client.connection);
    std::uint8_t sink[65536];
    while (read(client.peer, sink, sizeof sink) > 0) {
    }
  }
  CheckConsistent();
}

bool World::InTable(const Connection* connection) {
  ConnectionTable& table = server_.table();
  for (std::size_t i = 0; i < table.Count(); ++i) {
    if (&table.At(i) == connection) return true;
  }
  return false;
}

void World::Connect(std::size_t index) {
  std::uint16_t id = 0;
  if (server_.table().AllocateId(id) != 0) return;
  int fds[2];
  FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0);
  fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
  fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);
  auto connection = std::make_unique<Connection>(nullptr, id);
  connection->socket = fds[0];
  connection->accepted = true;
  connection->maySend = true;
  const std::string address = "127.0.0." + std::to_string(index + 1);
  connection->addressText = address;
  connection->name = address;
  connection->peerAddress = htonl(0x7F000001u + static_cast<std::uint32_t>(index));
  const std::uint8_t sendKey[] = {'s', 'e', 'n', 'd'};
  const std::uint8_t receiveKey[] = {'r', 'e', 'c', 'v', '!'};
  connection->InstallSendKey(sendKey, sizeof sendKey);
  connection->InstallReceiveKey(receiveKey, sizeof receiveKey);
  Connection* raw = connection.get();
  if (server_.table().Add(std::move(connection), false) != 0) {
    close(fds[1]);
    return;
  }
  clients_[index] = Client{raw, fds[1]};
  // The fourth client stays at the login step.
  if (index < 3) {
    const LoginRequest request = LoginOf(index);
    Deliver(*raw, *BuildLoginRequest(request));
  }
  Reap();
}

// Nothing the handlers do may leave the table, the tree and the counts
// disagreeing; a broken invariant is a crash for the fuzzer to report.
void World::CheckConsistent() {
  ConnectionTable& table = server_.table();
  int loggedOn = 0;
  for (std::size_t i = 0; i < table.Count(); ++i) {
    Connection& c = table.At(i);
    if (!c.IsPhantom() && c.socket < 0) Fail("a closed connection outlived the reap step");
    if (c.loggedOn && !c.IsPhantom()) ++loggedOn;
    if (c.channel != 0 && server_.channels().FindChannelById(c.channel) == nullptr) {
      Fail("a connection sits in a channel that does not exist");
    }
    if (c.IsPhantom() && table.FindById(c.phantomOwner) == nullptr) {
      Fail("a phantom outlived its owner");
    }
  }
  if (server_.loggedOnUsers != loggedOn) Fail("the logged-on count drifted");
}

}  // namespace kestrune::fuzz
