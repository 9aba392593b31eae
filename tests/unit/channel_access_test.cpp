#include "channels/channel_access.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

#include "config/log.h"
#include "store/permission_block.h"
#include "store/rank_store.h"
#include "support/temp_dir.h"
#include "util/clock.h"

namespace kestrune {
namespace {

class ChannelAccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log.SetDaemon(true);
    log.SetForwarder([](const std::string&) {});
    tree.SetFile(dir.File("t.chn"));
  }

  void Load(const std::string& text) {
    dir.Write("t.chn", text);
    ASSERT_EQ(tree.LoadChannels(), 0);
  }
  Channel& Path(const std::string& path) { return *tree.FindChannelByPath(path); }
  Connection& Add(std::uint16_t id, const char* address = "10.1.2.3", std::uint16_t owner = 0) {
    auto connection = std::make_unique<Connection>(nullptr, id);
    connection->peerAddress = inet_addr(address);
    connection->phantomOwner = owner;
    connection->loggedOn = true;
    Connection* raw = connection.get();
    EXPECT_EQ(table.Add(std::move(connection), owner != 0), 0);
    return *raw;
  }
  static PasswordDigest Digest(const char* plain) {
    PasswordDigest digest;
    digest.FromPlain(plain);
    return digest;
  }

  FakeClock clock{1000};
  Log log{clock};
  testing::TempDir dir;
  ConnectionTable table{clock, log};
  ChannelTree tree{log, table};
};

TEST_F(ChannelAccessTest, RightPasswordAtAProtectedParentOpensItsOpenSubChannels) {
  Load("[A]\nPassChan=pw\n[A/B]\nEncPassChan=\n[A/C]\nEncPassChan=\n[D]\nEncPassChan=\n");
  const PasswordDigest right = Digest("pw");
  const PasswordDigest wrong = Digest("nope");
  Channel& b = Path("A/B");
  EXPECT_EQ(ProtectionRoot(tree, b), &Path("A"));
  EXPECT_EQ(ProtectionRoot(tree, Path("D")), nullptr);
  EXPECT_EQ(CheckChannelPassword(tree, b, 5, wrong.CopyBytes().data()), kChannelWrongPassword);
  EXPECT_FALSE(PassesAuthorisation(tree, Path("A/C"), 5));
  EXPECT_EQ(CheckChannelPassword(tree, b, 5, right.CopyBytes().data()), kChannelAdmitted);
  EXPECT_EQ(Path("A").AccessOf(5), kAccessPassword);
  EXPECT_EQ(AccessState(tree, Path("A/C"), 5), kAccessPassword);
  // Remembered: no digest is compared again, and the sibling passes.
  EXPECT_EQ(CheckChannelPassword(tree, Path("A/C"), 5, wrong.CopyBytes().data()), kChannelAdmitted);
  EXPECT_TRUE(PassesAuthorisation(tree, Path("A/C"), 5));
  EXPECT_EQ(AccessState(tree, Path("D"), 5), kAccessPassword);  // no protection: 1
  EXPECT_EQ(CheckChannelPassword(tree, Path("D"), 6, nullptr), kChannelAdmitted);
  // A new password forgets who gave the old one.
  ResetPasswordStates(Path("A"));
  EXPECT_EQ(CheckChannelPassword(tree, b, 5, wrong.CopyBytes().data()), kChannelWrongPassword);
}

TEST_F(ChannelAccessTest, ProtMode2AdmitsTheAuthorisedOnly) {
  Load("[P]\nEncPassChan=\nProtMode=2\n[Q]\nEncPassChan=\nProtMode=1\n");
  Channel& p = Path("P");
  const PasswordDigest none;
  for (std::uint32_t state : {kAccessNone, kAccessInside, kAccessPassword}) {
    p.SetAccess(5, state);
    EXPECT_EQ(CheckChannelPassword(tree, p, 5, none.CopyBytes().data()), kChannelNotAuthorised)
        << state;
  }
  GrantAuthorisation(p, 5);
  EXPECT_EQ(CheckChannelPassword(tree, p, 5, nullptr), kChannelAdmitted);
  GrantAuthorisation(Path("Q"), 5);  // only a ProtMode 2 channel grants
  EXPECT_EQ(Path("Q").AccessOf(5), kAccessNone);
}

TEST_F(ChannelAccessTest, MovesLeaveStateThreeBehindOnlyWhileInside) {
  Load("[A]\nPassChan=pw\n[A/B]\nEncPassChan=\n[D]\nEncPassChan=\n");
  Channel& a = Path("A");
  MoveAccess(tree, 5, 0, Path("A/B").id);  // moved in by an administrator
  EXPECT_EQ(a.AccessOf(5), kAccessInside);
  MoveAccess(tree, 5, Path("A/B").id, Path("A/B").id);
  EXPECT_EQ(a.AccessOf(5), kAccessInside);
  MoveAccess(tree, 5, Path("A/B").id, Path("D").id);
  EXPECT_EQ(a.AccessOf(5), kAccessNone);
  a.SetAccess(6, kAccessPassword);
  MoveAccess(tree, 6, 0, a.id);
  MoveAccess(tree, 6, a.id, 0);
  EXPECT_EQ(a.AccessOf(6), kAccessPassword);  // a given password stays
}

TEST_F(ChannelAccessTest, ResetAccessForgetsTheConnectionAndItsPhantoms) {
  Load("[A]\nPassChan=pw\n[B]\nEncPassChan=\nProtMode=2\n");
  Add(5);
  Add(7, "10.1.2.3", 5);
  for (std::uint16_t id : {5, 6, 7}) {
    Path("A").SetAccess(id, kAccessPassword);
    Path("B").SetAccess(id, kAccessAuthorised);
  }
  ResetAccess(tree, 5);
  for (const char* path : {"A", "B"}) {
    EXPECT_EQ(Path(path).AccessOf(5), kAccessNone);
    EXPECT_EQ(Path(path).AccessOf(7), kAccessNone);
    EXPECT_NE(Path(path).AccessOf(6), kAccessNone);
  }
}

TEST_F(ChannelAccessTest, AdministratorsReachDownTheTree) {
  Load("[A]\n[A/B]\n[A/B/C]\n[D]\n");
  Connection& admin = Add(5);
  Connection& other = Add(6);
  SetAdminChannels(tree, 5, {Path("A/B").id, 999});
  EXPECT_TRUE(IsChannelAdmin(tree, &admin, Path("A/B/C").id));
  EXPECT_FALSE(IsChannelAdmin(tree, &admin, Path("A").id));
  EXPECT_FALSE(IsChannelAdmin(tree, &other, Path("A/B").id));
  EXPECT_FALSE(IsChannelAdmin(tree, nullptr, Path("A/B").id));
  EXPECT_EQ(TopAdminChannel(tree, admin, Path("A/B/C").id), nullptr);  // not in A's list
  SetAdminChannels(tree, 5, {Path("A").id, Path("A").id});
  EXPECT_EQ(Path("A/B").admins.size(), 0u);
  EXPECT_EQ(Path("A").admins.size(), 1u);
  EXPECT_EQ(TopAdminChannel(tree, admin, Path("A/B/C").id), &Path("A"));
  other.administrator = true;  // AdminMode administers everything
  EXPECT_TRUE(IsChannelAdmin(tree, &other, Path("D").id));
  EXPECT_EQ(TopAdminChannel(tree, other, Path("A/B").id), &Path("A"));
  tree.Forget(5);
  EXPECT_TRUE(Path("A").admins.empty());
}

TEST_F(ChannelAccessTest, ChannelFullUsesTheLowerLimit) {
  Load("[Three]\nMaxClients=3\n[Open]\n[One]\nMaxClients=1\n");
  ChannelLimits limits;
  limits.clients = 2;
  tree.SetLimits(limits);
  Connection& a = Add(5);
  Connection& b = Add(6, "10.1.2.3", 5);  // a phantom counts too
  Connection& newcomer = Add(8);
  a.channel = b.channel = Path("Three").id;
  EXPECT_TRUE(IsChannelFull(tree, &Path("Three"), &newcomer));
  EXPECT_TRUE(IsChannelFull(tree, &Path("Three"), nullptr));
  newcomer.administrator = true;
  EXPECT_FALSE(IsChannelFull(tree, &Path("Three"), &newcomer));
  newcomer.administrator = false;
  a.channel = b.channel = Path("Open").id;
  EXPECT_FALSE(IsChannelFull(tree, &Path("Open"), &newcomer));  // MaxClients 0: no limit
  a.channel = Path("One").id;
  EXPECT_TRUE(IsChannelFull(tree, &Path("One"), &newcomer));
  EXPECT_FALSE(IsChannelFull(tree, nullptr, &newcomer));
}

TEST_F(ChannelAccessTest, VoiceModeMutesByRank) {
  dir.Write("t.rank", "[1]\nLevel=50\nAbbrev=H\nDescr=High\n[2]\nLevel=49\nAbbrev=L\nDescr=Low\n");
  RankStore ranks(clock, dir.File("t.rank"));
  ranks.Load();
  const std::uint16_t high = 1;
  const std::uint16_t low = 2;
  Load(
      "[Ranked]\nVoiceMode=2\nRankLevel=50\n[Everyone]\nVoiceMode=2\n[Silent]\nVoiceMode=1\n"
      "[Free]\n");
  Connection& user = Add(5);
  struct Case {
    const char* channel;
    std::uint8_t rank;
    bool muted;
  } cases[] = {
      {"Ranked", static_cast<std::uint8_t>(high), false},
      {"Ranked", static_cast<std::uint8_t>(low), true},
      {"Ranked", 0, true},
      {"Everyone", static_cast<std::uint8_t>(high), true},
      {"Silent", static_cast<std::uint8_t>(high), true},
      {"Free", 0, false},
  };
  for (const Case& c : cases) {
    user.channel = Path(c.channel).id;
    user.permissions[PermissionBlock::kRank] = c.rank;
    EXPECT_EQ(VoiceMutedByChannel(tree, ranks, user), c.muted) << c.channel << " " << +c.rank;
  }
  user.channel = 0;
  EXPECT_FALSE(VoiceMutedByChannel(tree, ranks, user));
}

TEST_F(ChannelAccessTest, ChannelBansLiveInTheTopLevelChannel) {
  Load("[A]\n[A/B]\n[A/C]\n[E]\n");
  Connection& admin = Add(5);
  admin.name = "Boss";
  admin.administrator = true;
  Connection& target = Add(6, "10.9.8.7");
  ASSERT_EQ(AddChannelBan(tree, admin, Path("A/B").id, "10.9.8.7", "Tom", "loud, rude"), kBanOk);
  EXPECT_EQ(Path("A").bans.Size(), 1u);
  EXPECT_EQ(Path("A/B").bans.Size(), 0u);
  for (const char* path : {"A", "A/B", "A/C"})
    EXPECT_TRUE(IsBannedFromChannel(tree, Path(path), target)) << path;
  EXPECT_FALSE(IsBannedFromChannel(tree, Path("E"), target));
  const std::string file = dir.Read("t.chn");
  EXPECT_NE(file.find("BanItem0=10.9.8.7,Tom,Boss,loud%2C rude\n"), std::string::npos) << file;

  // Read back from the file as a new start would.
  ChannelTree again(log, table);
  again.SetFile(dir.File("t.chn"));
  ASSERT_EQ(again.LoadChannels(), 0);
  ASSERT_EQ(again.FindChannelByPath("A")->bans.Size(), 1u);
  EXPECT_EQ(again.FindChannelByPath("A")->bans.At(0).reason, "loud, rude");
  EXPECT_TRUE(IsBannedFromChannel(again, *again.FindChannelByPath("A/C"), target));

  Connection& stranger = Add(7);
  EXPECT_EQ(RemoveChannelBan(tree, stranger, Path("A/C").id, "10.9.8.7"), kBanCovered);
  EXPECT_EQ(RemoveChannelBan(tree, admin, Path("A/C").id, "10.9.8.7"), kBanOk);
  EXPECT_FALSE(IsBannedFromChannel(tree, Path("A/C"), target));
  EXPECT_EQ(dir.Read("t.chn").find("BanItem"), std::string::npos);
}

TEST_F(ChannelAccessTest, BanItemTextsAreEscapedAndLongOnesDropped) {
  BanEntry entry;
  ParseAddress(entry, "10.0.0.0/8");
  entry.name = "a=b";
  entry.admin = std::string(101, 'x');
  entry.reason = "50%\n";
  EXPECT_EQ(BanItemValue(entry), "10.0.0.0/8,a%3Db,,50%25%0A");
  BanList list;
  ReadBanItem(list, "1.2.3.4,n,a,r,extra");
  ASSERT_EQ(list.Size(), 1u);
  EXPECT_EQ(list.At(0).reason, "r");
}

}  // namespace
}  // namespace kestrune
