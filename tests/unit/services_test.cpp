// The services wired around a real server object: a login through the
// protocol and the loop's housekeeping meet as they do in the running server.
#include "server/services.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "client/session.h"
#include "net_test_peer.h"
#include "server/loop.h"
#include "server/server.h"
#include "support/temp_dir.h"

namespace kestrune {
namespace {

using testing::PairedConnection;
using testing::Peer;

class ServicesTest : public ::testing::Test {
 protected:
  void Start(const std::string& settingsKeys, const std::string& properties) {
    dir.Write("srv.ini", "[Server]\nName=Unit\nAuth=0\n" + settingsKeys);
    dir.Write("srv.prop", "[SrvProp]\n" + properties);
    server.files().SetPrefix(dir.File("srv"));
    server.log().SetDaemon(true);
    server.log().SetForwarder([this](const std::string& text) { lines.push_back(text); });
    server.LoadServerProperties();
    ASSERT_EQ(server.LoadSettings(), 0);
    server.LoadBans();
    server.LoadRanks();
    ASSERT_EQ(server.LoadAccounts(), 0);
    services = std::make_unique<ServerServices>(server, ConsoleSwitches{});
  }

  Connection& LogIn(const std::string& name, std::unique_ptr<Peer>& peer) {
    std::uint16_t id = 0;
    EXPECT_EQ(server.table().AllocateId(id), 0);
    auto connection = PairedConnection(id, peer, nullptr, true);
    Connection* raw = connection.get();
    EXPECT_EQ(server.table().Add(std::move(connection), false), 0);
    LoginRequest request;
    request.name = name;
    server.hooks.dispatch(*raw, *BuildLoginRequest(request));
    EXPECT_TRUE(raw->loggedOn);
    server.table().Flush(*raw);
    while (peer->Next(20)) {
    }
    return *raw;
  }

  testing::TempDir dir;
  FakeClock clock{10000};
  Server server{clock};
  std::unique_ptr<ServerServices> services;
  std::vector<std::string> lines;
};

TEST_F(ServicesTest, GuestTimeLimitEndsAGuestSessionWithoutAutoKick) {
  Start("AutoKick=0\n", "GuestAutoKick=1\n");
  std::unique_ptr<Peer> peer;
  Connection& guest = LogIn("Visitor", peer);
  guest.pingOutstanding = true;  // no pings in the way
  clock.AdvanceSeconds(59);
  ConnectionHousekeeping(server);
  server.table().Flush(guest);
  EXPECT_EQ(peer->Next(50), nullptr) << "a minute has not passed";
  clock.AdvanceSeconds(1);
  ConnectionHousekeeping(server);
  server.table().Flush(guest);
  auto notice = peer->Next(200);
  ASSERT_NE(notice, nullptr);
  EXPECT_EQ(notice->Type(), MSG_REFUSAL);
  EXPECT_EQ(notice->GetU16(4), 20) << "the time-limit reason";
  EXPECT_TRUE(guest.Kicked());
}

TEST_F(ServicesTest, HooksAreHarmlessOnceTheServicesAreGone) {
  Start("", "");
  std::unique_ptr<Peer> peer;
  Connection& guest = LogIn("Visitor", peer);
  services.reset();
  auto chat = CreateMessage(MSG_CHAT);
  server.hooks.dispatch(guest, *chat);
  server.hooks.consoleLine("status");
  guest.Close();
  ReapConnections(server);
  EXPECT_EQ(server.table().Count(), 0u);
}

}  // namespace
}  // namespace kestrune
