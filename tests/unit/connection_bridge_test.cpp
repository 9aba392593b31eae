#include "store/connection_bridge.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "net_test_peer.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using testing::CapturedLog;
using testing::PairedConnection;
using testing::Peer;
using P = PermissionBlock;

class BridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kestrune_bridge_XXXXXX";
    dir = mkdtemp(pattern);
    ranks = std::make_unique<RankStore>(log.clock, (dir / "srv.rank").string());
    ranks->SetEvents(&bridge);
    accounts = std::make_unique<AccountStore>(log.clock, (dir / "srv.usr").string(), *ranks);
    accounts->SetSessions(&bridge);
    std::ofstream(dir / "srv.usr")
        << "[Ann]\nUID=2\nEncPass=" << std::string(64, 'A') << "\nOwner=Root\nSendWave=0\n";
    ASSERT_EQ(accounts->Load(), 0);
  }
  void TearDown() override { fs::remove_all(dir); }

  Connection& AddClient(std::uint16_t id, const std::string& name, std::unique_ptr<Peer>& peer) {
    auto c = PairedConnection(id, peer, nullptr, true);
    c->loggedOn = true;
    c->name = name;
    Connection* raw = c.get();
    EXPECT_EQ(table.Add(std::move(c), false), 0);
    return *raw;
  }
  std::unique_ptr<Message> Received(Connection& c, Peer& peer) {
    table.Flush(c);
    return peer.Next();
  }

  fs::path dir;
  CapturedLog log;
  ConnectionTable table{log.clock, log.log};
  ConnectionBridge bridge{table};
  std::unique_ptr<RankStore> ranks;
  std::unique_ptr<AccountStore> accounts;
};

TEST_F(BridgeTest, LoginCopyAndAdminModeReachTheConnection) {
  std::unique_ptr<Peer> peer;
  Connection& ann = AddClient(5, "Ann", peer);
  accounts->ApplyToConnection(5, *accounts->FindByName("Ann"));
  EXPECT_EQ(ann.permissions, accounts->FindByName("Ann")->permissions.Raw());

  accounts->GrantAdminMode(5);
  EXPECT_TRUE(ann.administrator);
  EXPECT_EQ(ann.permissions[P::kServerAdmin], 1);
  EXPECT_EQ(ann.permissions[P::kAdminModeMirror], 1);
  auto message = Received(ann, *peer);
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(message->Type(), MSG_ACCOUNT_ADMIN);
  EXPECT_EQ(message->Length(), 4 + 16 + 104);
  EXPECT_EQ(message->GetU16(4), 5);
  EXPECT_EQ(message->GetU16(6), 0);
  EXPECT_EQ(message->GetU16(8), 1);
  EXPECT_EQ(message->GetU16(10), 1);
  EXPECT_EQ(message->GetU32(12), 0u);
  EXPECT_EQ(message->GetU32(16), 0u);
  EXPECT_EQ(message->GetU16(20), 2);  // the block's UID, little-endian
  EXPECT_TRUE(std::equal(ann.permissions.begin(), ann.permissions.end(), message->Data() + 20));

  accounts->DropAdminMode(5);
  EXPECT_FALSE(ann.administrator);
  EXPECT_EQ(ann.permissions, accounts->FindByName("Ann")->permissions.Raw());
}

TEST_F(BridgeTest, DeletedAccountAndSpamDisconnectWithTheirReasons) {
  std::unique_ptr<Peer> annPeer;
  std::unique_ptr<Peer> bobPeer;
  Connection& ann = AddClient(5, "ann", annPeer);
  Connection& bob = AddClient(6, "Bob", bobPeer);
  AccountEditor root;
  root.id = 9;
  root.adminMode = true;
  ASSERT_EQ(accounts->DeleteAccount(&root, 2), 0);
  auto notice = Received(ann, *annPeer);
  ASSERT_NE(notice, nullptr);
  EXPECT_EQ(notice->Type(), MSG_REFUSAL);
  EXPECT_EQ(notice->GetU16(4), 44);
  EXPECT_TRUE(ann.closing);
  EXPECT_FALSE(bob.closing);

  EXPECT_FALSE(ApplySpamAction(table, bob, kSpamNone));
  EXPECT_FALSE(bob.closing);
  EXPECT_TRUE(ApplySpamAction(table, bob, kSpamDisconnect));
  notice = Received(bob, *bobPeer);
  ASSERT_NE(notice, nullptr);
  EXPECT_EQ(notice->GetU16(4), 38);
}

TEST_F(BridgeTest, RankChangesAreAnnouncedToOthers) {
  std::unique_ptr<Peer> p5, p6, p7;
  Connection& editor = AddClient(5, "Root", p5);
  Connection& other = AddClient(6, "Ann", p6);
  Connection& waiting = AddClient(7, "127.0.0.1", p7);
  waiting.loggedOn = false;
  ASSERT_EQ(ranks->AcquireRankEditor(5, "Root"), 0);
  ASSERT_EQ(ranks->AddRank(5, 30, "Vet", "Veteran"), 0);
  auto message = Received(other, *p6);
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(message->Type(), MSG_RANK_ADMIN);
  EXPECT_EQ(message->GetU16(4), 3);
  EXPECT_EQ(message->GetU16(8), 1);
  EXPECT_EQ(message->GetU16(10), 1);
  EXPECT_EQ(message->GetU16(16), 1);   // rank id
  EXPECT_EQ(message->GetU16(18), 30);  // level
  std::size_t cursor = 20;
  std::string abbrev, descr;
  ASSERT_TRUE(ReadCountedString(*message, cursor, 16, abbrev));
  ASSERT_TRUE(ReadCountedString(*message, cursor, 64, descr));
  EXPECT_EQ(abbrev, "Vet");
  EXPECT_EQ(descr, "Veteran");
  EXPECT_TRUE(SizeEnd(*message, cursor));
  EXPECT_EQ(Received(editor, *p5), nullptr);  // the handler answers the requester
  EXPECT_EQ(Received(waiting, *p7), nullptr);
}

TEST_F(BridgeTest, RankListAtLogin) {
  auto empty = BuildRankList(*ranks);
  ASSERT_EQ(empty.size(), 1u);
  EXPECT_EQ(empty[0]->GetU16(4), 0);
  EXPECT_EQ(empty[0]->GetU16(8), 1);
  EXPECT_EQ(empty[0]->GetU16(10), 0);
  EXPECT_EQ(empty[0]->Length(), 16);

  ASSERT_EQ(ranks->AcquireRankEditor(5, "Root"), 0);
  ASSERT_EQ(ranks->AddRank(5, 30, "Vet", "Veteran"), 0);
  ASSERT_EQ(ranks->AddRank(5, 10, "Rec", "Recruit"), 0);
  auto list = BuildRankList(*ranks);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]->GetU16(10), 2);
  EXPECT_EQ(list[0]->GetU16(16), 1);
  std::size_t cursor = 20;
  std::string text;
  ASSERT_TRUE(ReadCountedString(*list[0], cursor, 16, text));
  ASSERT_TRUE(ReadCountedString(*list[0], cursor, 64, text));
  EXPECT_EQ(list[0]->GetU16(cursor), 2);
  EXPECT_EQ(list[0]->GetU16(cursor + 2), 10);
}

}  // namespace
}  // namespace kestrune
