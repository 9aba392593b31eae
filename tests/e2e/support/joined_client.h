// A logged-in client of a test server: the session, what its login received
// and its own client id, with helpers to read what arrives after.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "client/session.h"
#include "e2e/support/server_process.h"
#include "store/password_digest.h"

namespace kestrune::e2e {

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

struct JoinedClient {
  std::unique_ptr<ClientSession> session = std::make_unique<ClientSession>();
  LoginResult login;
  std::uint16_t id = 0;

  // Everything that arrives until nothing has come for `quietMs`.
  std::vector<std::unique_ptr<Message>> Drain(int quietMs = 300) {
    std::vector<std::unique_ptr<Message>> messages;
    while (auto message = session->Receive(quietMs)) messages.push_back(std::move(message));
    return messages;
  }
  bool Send(const Message& message) { return session->Send(message); }
  // The id of the channel named `name` in the login's channel list, or 0.
  std::uint16_t ChannelId(const std::string& name) const {
    for (const auto& message : login.messages) {
      if (auto list = ReadChannelList(*message)) {
        for (const auto& record : *list) {
          if (record.name == name) return record.id;
        }
      }
    }
    return 0;
  }
};

// Logs in from `address` (quietly: no message of the day); an empty password
// sends no digest. The client is drained after its login.
inline JoinedClient JoinAs(const ServerProcess& server, const std::string& name,
                           const std::string& password, const std::string& address = "127.0.0.1") {
  JoinedClient client;
  LoginRequest request;
  request.name = name;
  request.phonetic = name;
  request.flags = 1;
  if (!password.empty()) request.digest = DigestOf(password);
  client.login = client.session->Join("127.0.0.1", static_cast<std::uint16_t>(server.Port()),
                                      request, address);
  EXPECT_TRUE(client.login.accepted) << name;
  for (const auto& message : client.login.messages) {
    if (auto list = ReadUserList(*message)) {
      for (const auto& record : list->records) {
        if (record.flagA == 1) client.id = record.id;
      }
    }
  }
  client.Drain(100);
  return client;
}

}  // namespace kestrune::e2e
