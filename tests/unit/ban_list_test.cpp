#include "store/ban_list.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "net/connection.h"
#include "net_test_peer.h"
#include "store/permission_block.h"

namespace kestrune {
namespace {

using testing::CapturedLog;
using testing::PairedConnection;
using testing::Peer;

std::uint32_t Ip(const char* text) {
  return ntohl(inet_addr(text));
}

class BanListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kestrune_bans_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    path = dir + "/srv.ban";
    owned = std::make_unique<ServerBanList>(log.log, log.clock, path);
  }
  void TearDown() override { std::filesystem::remove_all(dir); }
  void WriteFile(const std::string& text) { std::ofstream(path) << text; }
  std::string ReadFile() {
    std::ifstream in(path);
    std::stringstream out;
    out << in.rdbuf();
    return out.str();
  }

  std::string dir;
  std::string path;
  CapturedLog log;
  std::unique_ptr<ServerBanList> owned;
  ServerBanList& Bans() { return *owned; }
};

TEST(BanAddress, ParseAndText) {
  struct Case {
    const char* text;
    int result;
    std::uint32_t address;
    int bits;
    const char* shown;
  };
  const Case cases[] = {
      {"10.1.2.3", 0, 0x0A010203, 32, "10.1.2.3"},
      {"10.0.0.0/8", 0, 0x0A000000, 8, "10.0.0.0/8"},
      {"1.2.3.4/0", 0, 0x01020304, 32, "1.2.3.4"},
      {"192.168.1.0/24", 0, 0xC0A80100, 24, "192.168.1.0/24"},
      {"not an address", 0, 0xFFFFFFFF, 32, "255.255.255.255"},
      {"1.2.3.4/33", -2, 0, 33, "0.0.0.0/33"},
      {"1.2.3.4/-1", -2, 0, -1, "0.0.0.0/-1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    BanEntry entry;
    EXPECT_EQ(ParseAddress(entry, c.text), c.result);
    EXPECT_EQ(entry.address, c.address);
    EXPECT_EQ(entry.bits, c.bits);
    if (c.result == 0) {
      EXPECT_EQ(entry.mask, MaskForBits(c.bits));
    }
    EXPECT_EQ(AddressText(entry), c.shown);
  }
  BanEntry untouched;
  EXPECT_EQ(ParseAddress(untouched, std::string(79, '1')), -1);
  EXPECT_EQ(untouched.bits, 32);
  EXPECT_EQ(MaskForBits(1), 0x80000000u);
  EXPECT_EQ(MaskForBits(24), 0xFFFFFF00u);
}

TEST_F(BanListTest, LoadParsesFieldsDropsCoveredAndSkipsEmptyLines) {
  WriteFile(
      "10.0.0.0/8, Bob , admin ,spam, flood\n"
      "10.2.3.4,Carl,root,inside the subnet\n"
      "\n"
      " ,nobody,x,y\n"
      "1.2.3.4/0,Dan,root,single\n"
      "5.6.7.8/40,Bad,root,out of range\n"
      "9.9.9.9\n");
  Bans().LoadBans();
  BanList& list = Bans().List();
  ASSERT_EQ(list.Size(), 3u);
  EXPECT_EQ(AddressText(list.At(0)), "10.0.0.0/8");
  EXPECT_EQ(list.At(0).name, "Bob");
  EXPECT_EQ(list.At(0).admin, "admin");
  EXPECT_EQ(list.At(0).reason, "spam, flood");
  EXPECT_EQ(list.At(1).bits, 32);
  EXPECT_EQ(list.At(1).address, Ip("1.2.3.4"));
  EXPECT_EQ(list.At(2).address, Ip("9.9.9.9"));
  EXPECT_EQ(list.At(2).name, "");
  EXPECT_TRUE(log.lines.empty());

  ASSERT_EQ(Bans().RewriteBans(), 0);
  EXPECT_EQ(ReadFile(),
            "10.0.0.0/8,Bob,admin,spam, flood\n"
            "1.2.3.4,Dan,root,single\n"
            "9.9.9.9,,,\n");
}

TEST_F(BanListTest, MissingFileIsAnEmptyList) {
  Bans().LoadBans();
  EXPECT_EQ(Bans().List().Size(), 0u);
  EXPECT_TRUE(log.lines.empty());
}

TEST_F(BanListTest, AddBanCoveringAndAppend) {
  ASSERT_EQ(Bans().AddBan("10.1.1.1", "Ann", "root", "noise"), kBanOk);
  // A subnet is not covered by a single address inside it.
  ASSERT_EQ(Bans().AddBan("10.0.0.0/8", "Bob", "root", "spam, flood"), kBanOk);
  EXPECT_EQ(Bans().AddBan("10.9.9.9", "Eve", "root", "x"), kBanCovered);
  EXPECT_EQ(Bans().List().Size(), 2u);
  EXPECT_TRUE(log.Has("ADMIN: Banning Ann, IP 10.1.1.1, Admin root, Because 'noise'."));
  EXPECT_TRUE(log.Has("ADMIN: The IP 10.9.9.9 is already banned or in a banned subnet."));
  EXPECT_EQ(ReadFile(), "10.1.1.1,Ann,root,noise\n10.0.0.0/8,Bob,root,spam, flood\n");
  EXPECT_EQ(Bans().List().FindCovering(Ip("10.200.0.1")), &Bans().List().At(1));
  EXPECT_EQ(Bans().List().FindCovering(Ip("11.0.0.1")), nullptr);
  EXPECT_EQ(Bans().AddBan("1.2.3.4/99", "X", "root", "bad"), kBanBadAddress);
  EXPECT_EQ(Bans().List().Size(), 2u);
}

TEST_F(BanListTest, LineBreaksInFieldsCannotSplitTheFile) {
  ASSERT_EQ(Bans().AddBan("7.7.7.7", "Mal", "root", "one\ntwo"), kBanOk);
  ASSERT_EQ(Bans().RemoveBan("8.8.8.8", "root"), -1);
  EXPECT_EQ(ReadFile(), "7.7.7.7,Mal,root,one two\n");
}

TEST_F(BanListTest, CommasBeforeTheReasonCannotShiftTheFields) {
  // Appended and rewritten lines alike; the reason keeps its commas.
  ASSERT_EQ(Bans().AddBan("7.7.7.7", "Mal,lory", "ro,ot", "a, b"), kBanOk);
  ASSERT_EQ(Bans().AddBan("8.8.8.8", "x", "y", "z"), kBanOk);
  EXPECT_EQ(ReadFile(), "7.7.7.7,Mal lory,ro ot,a, b\n8.8.8.8,x,y,z\n");
  ASSERT_EQ(Bans().RemoveBan("8.8.8.8", "root"), 0);
  EXPECT_EQ(ReadFile(), "7.7.7.7,Mal lory,ro ot,a, b\n");
  EXPECT_EQ(Bans().List().At(0).name, "Mal,lory") << "only the file form changes";
  Bans().List().Clear();
  Bans().LoadBans();
  ASSERT_EQ(Bans().List().Size(), 1u);
  EXPECT_EQ(Bans().List().At(0).admin, "ro ot");
  EXPECT_EQ(Bans().List().At(0).reason, "a, b");
}

TEST_F(BanListTest, LongTemporaryBansSaturateInsteadOfWrapping) {
  std::unique_ptr<Peer> peer;
  ConnectionTable table(log.clock, log.log);
  auto c = PairedConnection(3, peer);
  c->addressText = "127.0.0.8";
  // 71,582,789 minutes are 4,294,967,340 seconds: 44 seconds once wrapped.
  Bans().AutoBan(table, *c, 71582789u, true);
  ASSERT_EQ(Bans().List().Size(), 1u);
  EXPECT_EQ(Bans().List().At(0).expirySeconds, 0xFFFFFFFFu);
  auto notice = peer->Next();
  ASSERT_TRUE(notice);
  EXPECT_EQ(notice->GetU16(6), 65535) << "the minutes field holds 16 bits";
  log.clock.AdvanceSeconds(3600);
  BanCheck check = Bans().CheckConnect(Ip("127.0.0.8"), 4, "127.0.0.8");
  EXPECT_TRUE(check.refused);
  EXPECT_EQ(check.minutes, 65535);
}

TEST_F(BanListTest, RemoveNeedsTheExactEntry) {
  Bans().AddBan("10.0.0.0/8", "Bob", "root", "subnet");
  Bans().List().Append([] {
    auto e = std::make_unique<BanEntry>();
    ParseAddress(*e, "10.1.1.1");
    e->name = "Ann";
    return e;
  }());
  EXPECT_EQ(Bans().RemoveBan("10.1.1.2", "root"), -1);
  EXPECT_TRUE(log.Has("ADMIN: Unable to find specified IP address for BanDel, 10.1.1.2."));
  // The single entry goes although the subnet before it covers the address.
  ASSERT_EQ(Bans().RemoveBan("10.1.1.1/32", "root"), 0);
  EXPECT_TRUE(log.Has("ADMIN: Unbanning Ann, IP 10.1.1.1/32, Admin root."));
  ASSERT_EQ(Bans().List().Size(), 1u);
  EXPECT_EQ(Bans().List().At(0).bits, 8);
  // Removing an address inside the subnet does not lift the subnet.
  EXPECT_EQ(Bans().RemoveBan("10.0.0.1", "root"), -1);
  ASSERT_EQ(Bans().RemoveBan("10.0.0.0/8", "root"), 0);
  EXPECT_EQ(Bans().List().Size(), 0u);
  EXPECT_EQ(ReadFile(), "");
}

TEST_F(BanListTest, FailedFileWritesAreReported) {
  std::filesystem::create_directory(path);  // a folder where the file must go
  EXPECT_EQ(Bans().AddBan("3.3.3.3", "Zed", "root", "r"), kBanNotAppended);
  EXPECT_EQ(Bans().List().Size(), 1u);
  EXPECT_EQ(Bans().RemoveBan("3.3.3.3", "root"), 0);
  EXPECT_TRUE(log.Has("ADMIN: Unable to rewrite the ban file '" + path + "'."));
}

TEST_F(BanListTest, TemporaryBansAreNeverWritten) {
  std::unique_ptr<Peer> peer;
  ConnectionTable table(log.clock, log.log);
  auto guest = PairedConnection(5, peer);
  guest->addressText = "127.0.0.9";
  guest->name = "Guesty";
  Bans().AutoBan(table, *guest, 10, false);
  ASSERT_EQ(Bans().List().Size(), 1u);
  EXPECT_TRUE(Bans().List().At(0).temporary);
  EXPECT_EQ(Bans().List().At(0).admin, "AUTO");
  EXPECT_EQ(Bans().List().At(0).reason, "AUTO");
  EXPECT_EQ(Bans().List().At(0).name, "Guesty");
  EXPECT_TRUE(log.lines.empty());
  EXPECT_FALSE(guest->Kicked());

  Bans().AddBan("4.4.4.4", "P", "root", "perm");
  ASSERT_EQ(Bans().RemoveBan("4.4.4.4", "root"), 0);
  EXPECT_EQ(ReadFile(), "");
  ServerBanList reloaded(log.log, log.clock, path);
  reloaded.LoadBans();
  EXPECT_EQ(reloaded.List().Size(), 0u);

  // An administrator is never banned automatically.
  guest->addressText = "127.0.0.10";
  guest->administrator = true;
  Bans().AutoBan(table, *guest, 10, true);
  EXPECT_EQ(Bans().List().Size(), 1u);
  EXPECT_FALSE(guest->Kicked());
  // Nor on its way out, when closing has cleared the administrator mark.
  guest->Close();
  guest->permissions[PermissionBlock::kAdminModeMirror] = 1;
  EXPECT_FALSE(guest->administrator);
  Bans().AutoBan(table, *guest, 10, false);
  EXPECT_EQ(Bans().List().Size(), 1u);
}

TEST_F(BanListTest, AutoBanWithKickSendsTheTemporaryBanNotice) {
  std::unique_ptr<Peer> peer;
  ConnectionTable table(log.clock, log.log);
  auto c = PairedConnection(6, peer);
  Bans().AutoBan(table, *c, 3, true);
  auto m = peer->Next();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->Type(), MSG_REFUSAL);
  EXPECT_EQ(m->GetU16(4), 48);
  EXPECT_EQ(m->GetU16(6), 4);
  EXPECT_TRUE(c->closing);
}

TEST_F(BanListTest, ServerListLimitAndExpiredTemporaryBansMakeRoom) {
  BanList& list = Bans().List();
  for (std::uint32_t i = 0; i < ServerBanList::kMaxEntries; ++i) {
    auto e = std::make_unique<BanEntry>();
    e->address = 0x0B000000 + i;
    list.Append(std::move(e));
  }
  EXPECT_EQ(Bans().AddBan("12.0.0.1", "N", "root", "r"), kBanListFull);
  std::unique_ptr<Peer> peer;
  ConnectionTable table(log.clock, log.log);
  auto c = PairedConnection(2, peer);
  c->addressText = "12.0.0.2";
  Bans().AutoBan(table, *c, 5, false);
  EXPECT_EQ(list.Size(), ServerBanList::kMaxEntries);

  // One temporary entry among them: full while it runs, room once it has run out.
  list.At(100).temporary = true;
  list.At(100).expiryStart = log.clock.NowSeconds();
  list.At(100).expirySeconds = 60;
  EXPECT_EQ(Bans().AddBan("12.0.0.1", "N", "root", "r"), kBanListFull);
  log.clock.AdvanceSeconds(60);
  EXPECT_EQ(Bans().AddBan("12.0.0.1", "N", "root", "r"), kBanOk);
  EXPECT_EQ(list.Size(), ServerBanList::kMaxEntries);
  EXPECT_EQ(list.FindCovering(0x0B000000 + 100), nullptr);

  // Loading from the file does not check the limit.
  std::string many;
  for (int i = 0; i < 4100; ++i)
    many += "13.0." + std::to_string(i / 256) + "." + std::to_string(i % 256) + "\n";
  WriteFile(many);
  ServerBanList loaded(log.log, log.clock, path);
  loaded.LoadBans();
  EXPECT_EQ(loaded.List().Size(), 4100u);
}

TEST_F(BanListTest, ConnectCheckReportsCountsAndRefuses) {
  Bans().AddBan("127.0.0.5", "Perm", "root", "r");
  log.lines.clear();
  BanCheck first = Bans().CheckConnect(Ip("127.0.0.5"), 11, "127.0.0.5");
  EXPECT_TRUE(first.refused);
  EXPECT_EQ(first.reason, 49);
  EXPECT_EQ(first.minutes, 0);
  EXPECT_TRUE(first.notify);
  EXPECT_TRUE(log.Has("MSG_CONN: ID 11, IP 127.0.0.5, Banned address. Attempts=1"));

  log.clock.AdvanceMs(9999);
  BanCheck second = Bans().CheckConnect(Ip("127.0.0.5"), 12, "127.0.0.5");
  EXPECT_TRUE(second.refused);
  EXPECT_FALSE(second.notify);
  EXPECT_EQ(log.lines.size(), 1u);
  log.clock.AdvanceMs(2);
  BanCheck third = Bans().CheckConnect(Ip("127.0.0.5"), 13, "127.0.0.5");
  EXPECT_TRUE(third.notify);
  EXPECT_TRUE(log.Has("MSG_CONN: ID 13, IP 127.0.0.5, Banned address. Attempts=3"));

  BanCheck free = Bans().CheckConnect(Ip("127.0.0.6"), 14, "127.0.0.6");
  EXPECT_FALSE(free.refused);
}

TEST_F(BanListTest, FirstAttemptIsReportedEvenRightAfterClockStart) {
  log.clock.SetMs(0);
  Bans().AddBan("127.0.0.5", "Perm", "root", "r");
  EXPECT_TRUE(Bans().CheckConnect(Ip("127.0.0.5"), 1, "127.0.0.5").notify);
}

TEST_F(BanListTest, TemporaryBanMinutesLeftAndExpiry) {
  std::unique_ptr<Peer> peer;
  ConnectionTable table(log.clock, log.log);
  auto c = PairedConnection(3, peer);
  c->addressText = "127.0.0.7";
  Bans().AutoBan(table, *c, 2, false);  // 120 seconds
  log.clock.AdvanceSeconds(59);         // 61 seconds left
  BanCheck check = Bans().CheckConnect(Ip("127.0.0.7"), 4, "127.0.0.7");
  EXPECT_TRUE(check.refused);
  EXPECT_EQ(check.reason, 48);
  EXPECT_EQ(check.minutes, 2);
  log.clock.AdvanceSeconds(60);  // 1 second left
  EXPECT_EQ(Bans().CheckConnect(Ip("127.0.0.7"), 5, "127.0.0.7").minutes, 1);
  log.clock.AdvanceSeconds(1);  // run out: removed, and this attempt gets in
  BanCheck expired = Bans().CheckConnect(Ip("127.0.0.7"), 6, "127.0.0.7");
  EXPECT_FALSE(expired.refused);
  EXPECT_EQ(Bans().List().Size(), 0u);
  EXPECT_FALSE(Bans().CheckConnect(Ip("127.0.0.7"), 7, "127.0.0.7").refused);
}

TEST_F(BanListTest, ChannelListsHaveTheirOwnMessagesAndNoFile) {
  BanList channel;
  EXPECT_EQ(AddChannelBan(channel, log.log, "10.0.0.0/8", "Bob", "op", "loud"), 0);
  EXPECT_EQ(AddChannelBan(channel, log.log, "10.1.2.3", "Ann", "op", "x"), -1);
  EXPECT_EQ(RemoveChannelBan(channel, log.log, "10.1.2.3", "op"), -1);
  EXPECT_EQ(RemoveChannelBan(channel, log.log, "10.0.0.0/8", "op"), 0);
  EXPECT_EQ(channel.Size(), 0u);
  const std::vector<std::string> expected = {
      "CHANNEL: Banning Bob, IP 10.0.0.0/8, Admin op, Because 'loud'.",
      "CHANNEL: The IP 10.1.2.3 is already banned or in a banned subnet.",
      "ADMIN: Unable to find specified IP address for channel BanDel, 10.1.2.3.",
      "ADMIN: Unbanning Bob from channel, IP 10.0.0.0/8, Admin op."};
  EXPECT_EQ(log.lines, expected);
  EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace kestrune
