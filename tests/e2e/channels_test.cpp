#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "client/session.h"
#include "e2e/support/server_process.h"
#include "store/password_digest.h"

namespace kestrune::e2e {
namespace {

std::string Hex(const std::string& password) {
  PasswordDigest digest;
  digest.FromPlain(password);
  return digest.ToHex();
}

void ExpectCleanStop(ServerProcess& server) {
  EXPECT_EQ(server.Stop(), std::optional<int>(0));
  EXPECT_EQ(server.Stderr().find("runtime error"), std::string::npos) << server.Stderr();
  EXPECT_EQ(server.Stderr().find("Sanitizer"), std::string::npos) << server.Stderr();
}

TEST(ChannelsProcess, BrokenDefinitionsStopTheStart) {
  const std::string longName(32, 'n');
  struct Case {
    std::string file;
    std::string line;
  } cases[] = {
      {"[Lobby]\n", "ERROR: Channel name 'Lobby' is a reserved word or has illegal characters."},
      {"[a,b]\n", "ERROR: Channel name 'a,b' is a reserved word or has illegal characters."},
      {"[" + longName + "]\n",
       "ERROR: Channel name for topic [" + longName + "] is too long. 31 characters max."},
      {"[A]\n[]\n", "ERROR: A channel topic was empty in the file 'kestrune_srv.chn'."},
  };
  for (const Case& c : cases) {
    ServerProcess server;
    server.WriteSettings();
    server.WriteFile("kestrune_srv.chn", c.file);
    ASSERT_TRUE(server.Start());
    EXPECT_EQ(server.WaitExit(), std::optional<int>(2)) << c.file;
    const std::string log = server.Log();
    EXPECT_NE(log.find(c.line), std::string::npos) << log;
    EXPECT_NE(log.find("ERROR: Unable to read configuration data. Exiting."), std::string::npos)
        << log;
    EXPECT_EQ(log.find("READY:"), std::string::npos) << log;
  }
}

TEST(ChannelsProcess, PlainPasswordsAreRewrittenAndChildrenBeforeParentsDropped) {
  ServerProcess server;
  server.WriteSettings();
  server.WriteFile("kestrune_srv.chn", "[Club / Inner]\nEncPassChan=\n[Club]\nPassChan=door\n");
  ASSERT_TRUE(server.StartReady());
  const std::string file = server.ReadFile("kestrune_srv.chn");
  EXPECT_EQ(file, "[Club]\n\nPhonetic=\nEncPassChan=" + Hex("door") +
                      "\nComment=\nAllowRecording=1\nAllowCrossChannelXmit=1\nAllowPaging=1\n"
                      "AllowWaveBinds=1\nAllowTtsBinds=1\nAllowU2U=1\nRestrictToUsr=0\n"
                      "DisableSoundEvts=0\nVoiceMode=0\nTimeLimit=0\nPhantomMode=1\nMaxClients=0\n"
                      "AllowGuestToJoin=1\nExemptFromInactivity=0\nProtMode=1\nRankLevel=0\n\n");
  EXPECT_NE(server.Log().find(
                "WARNING: Unable to find parent channel for topic [Club / Inner]. Ignoreing it."),
            std::string::npos);
  ExpectCleanStop(server);
}

// An account's channel entries are paths: they resolve against the tree at
// load, reach the client at login and are written back by the next save.
TEST(ChannelsProcess, AccountChannelEntriesSurviveASaveAndReachTheLogin) {
  ServerProcess server;
  server.WriteSettings();
  server.WriteFile("kestrune_srv.chn",
                   "[A]\nEncPassChan=\n[A/B]\nEncPassChan=\n[P]\nEncPassChan=\nProtMode=2\n");
  // No UID: the account is fixed at load, so the store saves it at shutdown.
  server.WriteFile("kestrune_srv.usr", "[Ann]\nEncPass=" + Hex("ann") +
                                           "\nDefChan=a\nChanAdminCount=2\nChanAdmin0=A/B\n"
                                           "ChanAdmin1=Gone\nChanAuthCount=1\nChanAuth0=p\n"
                                           "[Guest]\nUID=2\n");
  ASSERT_TRUE(server.StartReady());

  ClientSession session;
  LoginRequest request;
  request.name = "Ann";
  PasswordDigest digest;
  digest.FromPlain("ann");
  request.digest = digest.CopyBytes();
  auto login = session.Join("127.0.0.1", static_cast<std::uint16_t>(server.Port()), request);
  ASSERT_TRUE(login.accepted);
  const Message* adminList = nullptr;
  for (const auto& message : login.messages) {
    if (message->Type() == MSG_CHANNEL_AUTH) adminList = message.get();
  }
  ASSERT_NE(adminList, nullptr);
  auto ids = ReadChannelAdminList(*adminList);
  ASSERT_TRUE(ids.has_value());
  ASSERT_EQ(ids->size(), 1u);  // the unknown path is skipped
  EXPECT_NE(ids->at(0), 0);
  session.Close();

  ExpectCleanStop(server);
  const std::string file = server.ReadFile("kestrune_srv.usr");
  EXPECT_NE(file.find("\nDefChan=A\n"), std::string::npos) << file;
  EXPECT_NE(file.find("\nChanAdminCount=1\nChanAdmin0=A/B\nChanAuthCount=1\nChanAuth0=P\n"),
            std::string::npos)
      << file;
}

}  // namespace
}  // namespace kestrune::e2e
