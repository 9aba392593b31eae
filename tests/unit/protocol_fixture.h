// A protocol over a connection table of socketpair clients, with stores on
// temporary files, for the dispatcher and login tests.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "client/session.h"
#include "net_test_peer.h"
#include "protocol/protocol.h"
#include "config/settings.h"
#include "store/account_store.h"
#include "store/ban_list.h"
#include "store/connection_bridge.h"
#include "store/password_digest.h"
#include "store/rank_store.h"
#include "store/server_properties.h"
#include "support/temp_dir.h"

namespace kestrune::testing {

inline std::array<std::uint8_t, 32> DigestOf(const std::string& password) {
  PasswordDigest digest;
  digest.FromPlain(password);
  return digest.CopyBytes();
}

inline std::string HexOf(const std::string& password) {
  PasswordDigest digest;
  digest.FromPlain(password);
  return digest.ToHex();
}

struct TestClient {
  Connection* c = nullptr;
  std::unique_ptr<Peer> peer;
};

class ProtocolFixture : public ::testing::Test {
 protected:
  // Ann: ordinary; Rex: Reserved; Sam: ServerAdmin; Lou: locked.
  static std::string DefaultAccounts() {
    return "[Ann]\nUID=1\nEncPass=" + HexOf("ann") +
           "\n"
           "[Rex]\nUID=2\nEncPass=" +
           HexOf("rex") +
           "\nReserved=1\n"
           "[Sam]\nUID=3\nEncPass=" +
           HexOf("sam") +
           "\nServerAdmin=1\nReserved=1\n"
           "[Lou]\nUID=4\nEncPass=" +
           HexOf("lou") +
           "\nLocked=1\nLockedReason=On holiday\n"
           "[Guest]\nUID=5\n";
  }

  void SetUp() override {
    settings.name = "Unit Server";
    settings.phonetic = "unit";
    settings.auth = 0;
    settings.duplicates = 1;
    settings.port = 4321;
    settings.voiceCodec = 2;
    settings.voiceFormat = 1;
    dir.Write("t.usr", DefaultAccounts());
    ranks = std::make_unique<RankStore>(log.clock, dir.File("t.rank"));
    accounts = std::make_unique<AccountStore>(log.clock, dir.File("t.usr"), *ranks);
    accounts->SetSessions(&bridge);
    ASSERT_EQ(accounts->Load(), 0);
    bans = std::make_unique<ServerBanList>(log.log, log.clock, dir.File("t.ban"));
    protocol = std::make_unique<Protocol>(
        ProtocolContext{table, settings, log.log, log.clock, *accounts, *ranks, properties, *bans,
                        tree, loggedOn, peak, dir.File("t.motd"), dir.File("t.gmotd"), "3.0.2"});
  }

  // A connected client whose handshake is done (keys on both sides).
  TestClient& Connect(const std::string& address = "127.0.0.1") {
    std::uint16_t id = 0;
    EXPECT_EQ(table.AllocateId(id), 0);
    auto client = std::make_unique<TestClient>();
    auto connection = PairedConnection(id, client->peer, nullptr, true);
    connection->addressText = address;
    connection->name = address;
    connection->peerAddress = inet_addr(address.c_str());
    client->c = connection.get();
    EXPECT_EQ(table.Add(std::move(connection), false), 0);
    clients.push_back(std::move(client));
    return *clients.back();
  }

  // Takes a finished client out of the table, as the loop's reap step would.
  void Drop(TestClient& client) {
    table.Remove(client.c);
    client.c = nullptr;
  }

  void Dispatch(TestClient& client, std::unique_ptr<Message> message) {
    protocol->Dispatch(*client.c, std::move(message));
  }

  static LoginRequest Request(const std::string& name, const std::string& password = "") {
    LoginRequest request;
    request.name = name;
    request.phonetic = name + " phonetic";
    if (!password.empty()) request.digest = DigestOf(password);
    return request;
  }

  void SendLogin(TestClient& client, const LoginRequest& request) {
    Dispatch(client, BuildLoginRequest(request));
  }

  // Everything queued for the client so far.
  std::vector<std::unique_ptr<Message>> Drain(TestClient& client) {
    std::vector<std::unique_ptr<Message>> messages;
    if (client.c->socket >= 0) table.Flush(*client.c);
    while (auto message = client.peer->Next(30)) messages.push_back(std::move(message));
    return messages;
  }

  static std::vector<std::uint16_t> Types(const std::vector<std::unique_ptr<Message>>& messages) {
    std::vector<std::uint16_t> types;
    for (const auto& m : messages) types.push_back(m->Type());
    return types;
  }

  static const Message* First(const std::vector<std::unique_ptr<Message>>& messages,
                              std::uint16_t type) {
    for (const auto& m : messages) {
      if (m->Type() == type) return m.get();
    }
    return nullptr;
  }

  // Logs in and drains; the client is logged in afterwards.
  TestClient& LoggedIn(const std::string& name, const std::string& password = "",
                       const std::string& address = "127.0.0.1") {
    TestClient& client = Connect(address);
    SendLogin(client, Request(name, password));
    EXPECT_TRUE(client.c->loggedOn) << name;
    Drain(client);
    return client;
  }

  TempDir dir;
  CapturedLog log;
  ServerSettings settings;
  ServerProperties properties;
  int loggedOn = 0;
  int peak = 0;
  ConnectionTable table{log.clock, log.log};
  ChannelTree tree{log.log, table};
  ConnectionBridge bridge{table};
  std::unique_ptr<RankStore> ranks;
  std::unique_ptr<AccountStore> accounts;
  std::unique_ptr<ServerBanList> bans;
  std::unique_ptr<Protocol> protocol;
  std::vector<std::unique_ptr<TestClient>> clients;
};

}  // namespace kestrune::testing
