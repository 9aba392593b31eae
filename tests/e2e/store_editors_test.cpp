// The store editors against the real server: the rank editor, the account
// editor with what an edit does to a connected user, the server properties'
// private copies, the server and channel ban lists, and the malformed
// requests of these types.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "client/channel_requests.h"
#include "client/editor_requests.h"
#include "client/session.h"
#include "e2e/support/joined_client.h"
#include "e2e/support/server_process.h"

namespace kestrune::e2e {
namespace {

using Messages = std::vector<std::unique_ptr<Message>>;

constexpr std::size_t kRankAt = 36;
constexpr std::size_t kLockedAt = 40;
constexpr std::size_t kDigestAt = 4;

// Every password is "pw". Root: AdminMode at login; Ranker: RankEdit; Adder:
// UsersAdd; Banner: UsersBan; Cad: administrator of A; Ath: may enter Vault;
// Bob: rank 1; Ann: plain.
std::string Accounts(const std::string& more = "") {
  std::string text;
  int uid = 1;
  auto add = [&](const std::string& name, const std::string& extra) {
    text +=
        "[" + name + "]\nUID=" + std::to_string(uid++) + "\nEncPass=" + HexOf("pw") + "\n" + extra;
  };
  add("Root", "ServerAdmin=1\n");
  add("Ranker", "RankEdit=1\n");
  add("Adder", "UsersAdd=1\n");
  add("Banner", "UsersBan=1\n");
  add("Cad", "ChanAdminCount=1\nChanAdmin0=A\n");
  add("Ath", "ChanAuthCount=1\nChanAuth0=Vault\n");
  add("Bob", "Rank=1\n");
  add("Ann", "");
  text += more;
  text += "[Guest]\nUID=40\n";
  return text;
}

constexpr const char* kChannels =
    "[A]\nEncPassChan=\n[A/B]\nEncPassChan=\n[A/C]\nEncPassChan=\n"
    "[Vault]\nEncPassChan=\nProtMode=2\n"
    "[Ranked]\nEncPassChan=\nVoiceMode=2\nRankLevel=50\n";

constexpr const char* kRanks = "[1]\nLevel=10\nAbbrev=Rook\nDescr=Rookie\n";

template <typename Reader>
auto AllOf(const Messages& got, Reader reader) {
  std::vector<typename decltype(reader(*got.front()))::value_type> out;
  for (const auto& message : got) {
    if (auto value = reader(*message)) out.push_back(*value);
  }
  return out;
}

std::optional<RefusalInfo> RefusalIn(const Messages& got) {
  for (const auto& message : got) {
    if (auto refusal = ReadRefusal(*message)) return refusal;
  }
  return std::nullopt;
}

// The code of the first refusal, or -1.
int CodeIn(const Messages& got) {
  auto refusal = RefusalIn(got);
  return refusal ? refusal->code : -1;
}

std::optional<PropertyInfo> Ask(JoinedClient& client, std::uint16_t action, std::uint16_t id,
                                std::optional<std::string> value = std::nullopt) {
  client.Send(*BuildPropertyRequest(action, id, std::move(value), 77));
  if (auto reply = client.session->WaitFor(MSG_SERVER_PROPS, 2000)) return ReadProperty(*reply);
  return std::nullopt;
}

class StoreEditorsFlow : public ::testing::Test {
 protected:
  void Start(const std::vector<std::string>& args = {}, const std::string& moreAccounts = "") {
    server.WriteSettings();
    server.WriteFile("kestrune_srv.usr", Accounts(moreAccounts));
    server.WriteFile("kestrune_srv.chn", kChannels);
    server.WriteFile("kestrune_srv.rank", kRanks);
    ASSERT_TRUE(server.StartReady(args));
    started_ = true;
  }
  void TearDown() override {
    if (!started_) return;
    EXPECT_EQ(server.Stop(), std::optional<int>(0));
    EXPECT_EQ(server.Stderr().find("runtime error"), std::string::npos) << server.Stderr();
    EXPECT_EQ(server.Stderr().find("Sanitizer"), std::string::npos) << server.Stderr();
  }
  JoinedClient Join(const std::string& name) { return JoinAs(server, name, "pw"); }
  void Enter(JoinedClient& client, std::uint16_t channel) {
    ChannelRequest request;
    request.action = 3;
    request.clientId = client.id;
    request.channel = channel;
    request.withTexts = false;
    client.Send(*BuildChannelRequest(request));
  }

  ServerProcess server;
  bool started_ = false;
};

// ------------------------------------------------------------------- ranks

TEST_F(StoreEditorsFlow, RankEditorLockAndEditsReachEveryoneAndTheFile) {
  Start();
  JoinedClient ranker = Join("Ranker");
  JoinedClient ann = Join("Ann");
  JoinedClient root = Join("Root");
  ranker.Drain(100);

  // Without RankEdit: result 4 and no refusal.
  ann.Send(*BuildRankEditorRequest(1));
  Messages got = ann.Drain();
  auto replies = AllOf(got, ReadRankEditReply);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].result, 4);
  EXPECT_FALSE(RefusalIn(got));

  ranker.Send(*BuildRankEditorRequest(1));
  replies = AllOf(ranker.Drain(), ReadRankEditReply);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].result, 0);

  // Taken: 5 and refusal 33 with the holder's name.
  root.Send(*BuildRankEditorRequest(1));
  got = root.Drain();
  replies = AllOf(got, ReadRankEditReply);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].result, 5);
  auto refusal = RefusalIn(got);
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->code, 33);
  EXPECT_EQ(refusal->text, "Ranker");

  // An edit without the lock is the store's 5, without a refusal.
  root.Send(*BuildRankEdit(3, 0, 5, "X", "Ex"));
  got = root.Drain();
  replies = AllOf(got, ReadRankEditReply);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].result, 5);
  EXPECT_FALSE(RefusalIn(got));

  // Add: the requester's copy (offset 8 = 0, its tag), the others' announcement.
  ranker.Send(*BuildRankEdit(3, 0, 30, "  Vet ", "Veteran", 7));
  replies = AllOf(ranker.Drain(), ReadRankEditReply);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].action, 3);
  EXPECT_EQ(replies[0].result, 0);
  EXPECT_EQ(replies[0].announced, 0);
  EXPECT_EQ(replies[0].tag, 7);
  ASSERT_TRUE(replies[0].hasRecord);
  EXPECT_EQ(replies[0].abbrev, "Vet");
  EXPECT_EQ(replies[0].level, 30);
  const std::uint16_t vet = replies[0].id;
  EXPECT_NE(vet, 1);
  for (JoinedClient* other : {&ann, &root}) {
    auto heard = AllOf(other->Drain(), ReadRankEditReply);
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0].action, 3);
    EXPECT_EQ(heard[0].announced, 1);
    EXPECT_EQ(heard[0].id, vet);
    EXPECT_EQ(heard[0].descr, "Veteran");
  }

  // Store refusals come back as the result.
  struct Case {
    const char* what;
    std::unique_ptr<Message> request;
    int result;
  };
  Case cases[] = {
      {"abbreviation in use", BuildRankEdit(3, 0, 1, "rook", "Other"), 2},
      {"description in use", BuildRankEdit(5, vet, 1, "V2", "ROOKIE"), 3},
      {"no such rank", BuildRankEdit(4, 3, 0), 1},
      {"empty text", BuildRankEdit(3, 0, 1, " ", "Blank"), 7},
  };
  for (const Case& c : cases) {
    ranker.Send(*c.request);
    replies = AllOf(ranker.Drain(), ReadRankEditReply);
    ASSERT_EQ(replies.size(), 1u) << c.what;
    EXPECT_EQ(replies[0].result, c.result) << c.what;
  }
  EXPECT_TRUE(AllOf(ann.Drain(100), ReadRankEditReply).empty()) << "refusals are not announced";

  // Change and delete are announced with the record.
  ranker.Send(*BuildRankEdit(5, 1, 20, "Rook", "Rookie two"));
  auto heard = AllOf(ann.Drain(), ReadRankEditReply);
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_EQ(heard[0].action, 5);
  EXPECT_EQ(heard[0].level, 20);
  EXPECT_EQ(heard[0].descr, "Rookie two");
  ranker.Send(*BuildRankEdit(4, vet, 0));
  heard = AllOf(ann.Drain(), ReadRankEditReply);
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_EQ(heard[0].action, 4);
  EXPECT_EQ(heard[0].abbrev, "Vet");
  replies = AllOf(ranker.Drain(), ReadRankEditReply);
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[1].action, 4);
  EXPECT_EQ(replies[1].result, 0);

  // Released, the lock is free for the next one.
  ranker.Send(*BuildRankEditorRequest(2));
  root.Drain(100);
  root.Send(*BuildRankEditorRequest(1));
  replies = AllOf(root.Drain(), ReadRankEditReply);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].result, 0);

  ASSERT_EQ(server.Stop(), std::optional<int>(0));
  started_ = false;
  const std::string file = server.ReadFile("kestrune_srv.rank");
  EXPECT_NE(file.find("[1]\n\nLevel=20\nAbbrev=Rook\nDescr=Rookie two\n"), std::string::npos)
      << file;
  EXPECT_EQ(file.find("Vet"), std::string::npos) << file;
}

TEST_F(StoreEditorsFlow, RankLevelChangeReevaluatesTheHoldersChannelMute) {
  Start();
  JoinedClient ranker = Join("Ranker");
  JoinedClient bob = Join("Bob");
  JoinedClient ann = Join("Ann");
  Enter(bob, bob.ChannelId("Ranked"));
  auto muted = AllOf(ann.Drain(), ReadUserSetting);
  ASSERT_EQ(muted.size(), 1u) << "level 10 is below the channel's 50";
  EXPECT_EQ(muted[0].id, bob.id);
  EXPECT_EQ(muted[0].value, 1u);

  ranker.Send(*BuildRankEditorRequest(1));
  ranker.Send(*BuildRankEdit(5, 1, 50, "Rook", "Rookie"));
  auto settings = AllOf(ann.Drain(), ReadUserSetting);
  ASSERT_EQ(settings.size(), 1u);
  EXPECT_EQ(settings[0].id, bob.id);
  EXPECT_EQ(settings[0].setting, 5);
  EXPECT_EQ(settings[0].value, 0u);
}

// ---------------------------------------------------------------- accounts

TEST_F(StoreEditorsFlow, AccountListingNeedsARightAndCarriesNoDigests) {
  // Long notes spread the listing over several messages.
  std::string more;
  for (int i = 0; i < 12; ++i) {
    more += "[Extra" + std::to_string(i) + "]\nUID=" + std::to_string(20 + i) +
            "\nEncPass=" + HexOf("pw") + "\nNotes=" + std::string(250, 'n') + "\n";
  }
  Start({}, more);
  JoinedClient ann = Join("Ann");
  JoinedClient adder = Join("Adder");
  JoinedClient root = Join("Root");

  ann.Send(*BuildAccountList(0xCAFE));
  auto replies = AllOf(ann.Drain(), ReadAccountReply);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].result, 9);
  EXPECT_TRUE(replies[0].records.empty());
  EXPECT_EQ(replies[0].tag, 0xCAFEu);

  // Ann did not take the lock: Adder gets it and the whole list.
  adder.Send(*BuildAccountList(0xBEEF));
  replies = AllOf(adder.Drain(), ReadAccountReply);
  ASSERT_GE(replies.size(), 2u);
  std::vector<std::string> names;
  for (std::size_t m = 0; m < replies.size(); ++m) {
    EXPECT_EQ(replies[m].tag, 0xBEEFu);
    EXPECT_EQ(replies[m].total, 21);
    EXPECT_EQ(replies[m].first, names.size()) << "message " << m;
    EXPECT_EQ(replies[m].last, m + 1 == replies.size() ? 1 : 0) << "message " << m;
    for (const AccountData& record : replies[m].records) {
      names.push_back(record.name);
      for (std::size_t i = 0; i < 32; ++i) ASSERT_EQ(record.block[kDigestAt + i], 0) << record.name;
    }
  }
  ASSERT_EQ(names.size(), 21u);
  EXPECT_EQ(names.front(), "Root");
  EXPECT_EQ(names.back(), "Guest");

  auto got = root.Drain(50);
  root.Send(*BuildAccountList());
  got = root.Drain();
  auto refusal = RefusalIn(got);
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->code, 31);
  EXPECT_EQ(refusal->text, "Adder");
  EXPECT_TRUE(AllOf(got, ReadAccountReply).empty());
}

TEST_F(StoreEditorsFlow, AccountEditsFollowTheOwnerRulesAndReachTheFile) {
  Start({"-u10"});
  JoinedClient root = Join("Root");
  JoinedClient adder = Join("Adder");
  auto edit = [](JoinedClient& client, const Message& request) {
    client.Send(request);
    auto reply = client.session->WaitFor(MSG_ACCOUNT_ADMIN, 2000);
    return reply ? ReadAccountReply(*reply) : std::nullopt;
  };
  AccountData kid;
  kid.name = " Kid ";
  kid.owner = "Root";  // replaced by the requester
  kid.notes = "line\nbreak";
  const auto digest = DigestOf("kp");
  std::copy(digest.begin(), digest.end(), kid.block.begin() + kDigestAt);

  // An edit before the lock closes; so Adder takes it first.
  adder.Send(*BuildAccountList());
  adder.Drain();
  auto reply = edit(adder, *BuildAccountEdit(1, kid, 5));
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->result, 0);
  EXPECT_EQ(reply->tag, 5u);
  ASSERT_EQ(reply->records.size(), 1u);
  EXPECT_EQ(reply->records[0].name, "Kid");
  EXPECT_EQ(reply->records[0].owner, "Adder");
  for (std::size_t i = 0; i < 32; ++i) EXPECT_EQ(reply->records[0].block[kDigestAt + i], 0);
  const std::uint16_t kidUid = reply->records[0].Uid();

  struct Case {
    const char* what;
    std::unique_ptr<Message> request;
    int result;
  };
  AccountData again = kid;
  AccountData noPassword;
  noPassword.name = "Nopass";
  AccountData bob;
  bob.name = "Bob";
  bob.SetUid(7);
  AccountData kidChange = kid;
  kidChange.name = "Kid";
  kidChange.SetUid(kidUid);
  std::fill(kidChange.block.begin() + kDigestAt, kidChange.block.begin() + kDigestAt + 32, 0);
  kidChange.notes = "changed";
  Case byAdder[] = {
      {"name in use", BuildAccountEdit(1, again), 2},
      {"no password", BuildAccountEdit(1, noPassword), 4},
      {"Bob has no owner", BuildAccountEdit(3, bob), 9},
      {"own account, zero digest", BuildAccountEdit(3, kidChange), 0},
      {"reassign needs AdminMode", BuildAccountBlockRequest(6, 1, 3), 9},
  };
  for (const Case& c : byAdder) {
    reply = edit(adder, *c.request);
    ASSERT_TRUE(reply) << c.what;
    EXPECT_EQ(reply->result, c.result) << c.what;
  }
  adder.Send(*BuildAccountClose());
  adder.Drain(200);  // the close is served before Root asks

  root.Send(*BuildAccountList());
  root.Drain();
  Case byRoot[] = {
      {"guest cannot go", BuildAccountBlockRequest(2, 40), 6},
      {"no such account", BuildAccountBlockRequest(2, 49), 1},
      {"no new owner", BuildAccountBlockRequest(6, 3, 49), 11},
      {"new owner without UsersAdd", BuildAccountBlockRequest(6, 3, 8), 12},
      {"hand Adder's accounts to Root", BuildAccountBlockRequest(6, 3, 1), 0},
  };
  for (const Case& c : byRoot) {
    reply = edit(root, *c.request);
    ASSERT_TRUE(reply) << c.what;
    EXPECT_EQ(reply->result, c.result) << c.what;
  }

  // The save delay writes the file; the zero digest kept Kid's password.
  ASSERT_TRUE(ServerProcess::WaitUntil(
      [&] { return server.ReadFile("kestrune_srv.usr").find("[Kid]") != std::string::npos; },
      20000));
  const std::string file = server.ReadFile("kestrune_srv.usr");
  const std::string section = file.substr(file.find("[Kid]"));
  EXPECT_NE(section.find("EncPass=" + HexOf("kp")), std::string::npos);
  EXPECT_NE(section.find("Owner=Root\n"), std::string::npos);
  EXPECT_NE(section.find("Notes=changed\n"), std::string::npos);

  reply = edit(root, *BuildAccountBlockRequest(2, kidUid));
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->result, 0);
  ASSERT_EQ(server.Stop(), std::optional<int>(0));
  started_ = false;
  EXPECT_EQ(server.ReadFile("kestrune_srv.usr").find("[Kid]"), std::string::npos);
}

TEST_F(StoreEditorsFlow, AChangedAccountReachesItsConnectedUserInOrder) {
  Start();
  JoinedClient root = Join("Root");
  JoinedClient ath = Join("Ath");
  JoinedClient ann = Join("Ann");
  Enter(ath, ath.ChannelId("Vault"));
  ann.Drain();
  ath.Drain();
  root.Send(*BuildAccountList());
  root.Drain();

  // Rank 1 and no longer authorised for Vault.
  AccountData change;
  change.name = "Ath";
  change.SetUid(6);
  change.block[kRankAt] = 1;
  change.block[96] = change.block[97] = 1;  // still sees everyone
  root.Send(*BuildAccountEdit(3, change));

  // Ath: out of Vault before its new block, then the rank announcement.
  Messages got = ath.Drain();
  int leftAt = -1;
  int blockAt = -1;
  int rankAt = -1;
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (auto move = ReadChannelMove(*got[i]);
        move && move->clientId == ath.id && move->channel == 0)
      leftAt = static_cast<int>(i);
    if (auto block = ReadPermissionRecord(*got[i])) {
      blockAt = static_cast<int>(i);
      EXPECT_EQ((*block)[kRankAt], 1);
    }
    if (auto list = ReadUserList(*got[i]); list && list->action == 6) rankAt = static_cast<int>(i);
  }
  ASSERT_GE(leftAt, 0);
  ASSERT_GE(blockAt, 0);
  ASSERT_GE(rankAt, 0);
  EXPECT_LT(leftAt, blockAt);
  EXPECT_LT(blockAt, rankAt);

  // The others see the move and one action 6 with the new rank.
  got = ann.Drain();
  auto lists = AllOf(got, ReadUserList);
  std::vector<UserRecord> changes;
  for (const auto& list : lists) {
    if (list.action == 6) changes.insert(changes.end(), list.records.begin(), list.records.end());
  }
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].id, ath.id);
  EXPECT_EQ(changes[0].rank, 1);
  EXPECT_FALSE(AllOf(got, ReadChannelMove).empty());

  // Locked: disconnected with the reason.
  change.block[kLockedAt] = 1;
  change.lockedReason = "gone";
  root.Send(*BuildAccountEdit(3, change));
  got = ath.Drain();
  auto refusal = RefusalIn(got);
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->code, 34);
  EXPECT_EQ(refusal->text, "gone");
  EXPECT_TRUE(ath.session->WaitClosed(7000));
}

// -------------------------------------------------------------- properties

TEST_F(StoreEditorsFlow, PropertiesAreEditedOnAPrivateCopyAndCommitted) {
  Start();
  JoinedClient root = Join("Root");
  JoinedClient ann = Join("Ann");

  ann.Send(*BuildPropertyRequest(0, 11));
  EXPECT_TRUE(ann.Drain().empty()) << "only AdminMode is served";

  auto got = Ask(root, 1, 11, "5");
  EXPECT_FALSE(got) << "no copy before a get";
  got = Ask(root, 0, 11);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->result, 0);
  EXPECT_EQ(got->value, "0");

  struct Case {
    int id;
    std::string value;
    int result;
    std::optional<std::string> stored;
  };
  const Case cases[] = {
      {11, "5000", 0, "1440"},
      {27, "100000", 0, "43200"},
      {26, "-5", 0, "0"},
      {25, "20", 0, "8"},
      {5, "7", 0, "1"},
      {2, "3", 0, "1"},
      {19, std::string(200, 'c'), 0, std::string(127, 'c')},
      {19, "Hello", 0, "Hello"},
      {19, "bad\nline", 2, "Hello"},
      {7, "1,500,3", 0, "1,500,3"},
      {23, "1", 1, std::nullopt},
  };
  for (const Case& c : cases) {
    got = Ask(root, 1, static_cast<std::uint16_t>(c.id), c.value);
    ASSERT_TRUE(got) << c.id;
    EXPECT_EQ(got->action, 1);
    EXPECT_EQ(got->result, c.result) << c.id << " " << c.value;
    if (!c.stored) continue;
    got = Ask(root, 0, static_cast<std::uint16_t>(c.id));
    ASSERT_TRUE(got);
    EXPECT_EQ(got->value, *c.stored) << c.id;
  }
  // A set whose string does not end the message is refused.
  auto trailing = BuildPropertyRequest(1, 11, std::string("3"));
  trailing->ReserveBytes(1);
  root.Send(*trailing);
  auto reply = root.session->WaitFor(MSG_SERVER_PROPS, 2000);
  ASSERT_TRUE(reply);
  EXPECT_EQ(ReadProperty(*reply)->result, 2);

  EXPECT_TRUE(AllOf(ann.Drain(100), ReadProperty).empty()) << "nothing is live before the commit";
  got = Ask(root, 3, 0);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->action, 3);
  root.Drain();
  Messages heard = ann.Drain();
  auto values = AllOf(heard, ReadProperty);
  ASSERT_EQ(values.size(), 3u);
  EXPECT_EQ(values[0].id, 2);
  EXPECT_EQ(values[0].value, "1");
  EXPECT_EQ(values[2].id, 5);
  EXPECT_EQ(values[2].value, "1");
  std::vector<UserRecord> serverRecords;
  for (const auto& list : AllOf(heard, ReadUserList)) {
    if (list.action == 2)
      serverRecords.insert(serverRecords.end(), list.records.begin(), list.records.end());
  }
  ASSERT_EQ(serverRecords.size(), 1u);
  EXPECT_EQ(serverRecords[0].id, 0);
  EXPECT_EQ(serverRecords[0].comment, "Hello");

  const std::string file = server.ReadFile("kestrune_srv.prop");
  for (const char* line : {"ChatFilter=1\n", "InactivityTimeout=1440\n", "SpamChat=1,500,3\n",
                           "Comment=Hello\n", "GuestMaxLogin=8\n", "GuestAutoBan=43200\n"}) {
    EXPECT_NE(file.find(line), std::string::npos) << line << file;
  }

  // Cancel drops the copy; a commit without a comment change resends no record.
  got = Ask(root, 0, 2);
  Ask(root, 1, 2, "0");
  root.Send(*BuildPropertyRequest(4, 0));
  got = Ask(root, 0, 2);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->value, "1");
  Ask(root, 3, 0);
  root.Drain();
  heard = ann.Drain();
  EXPECT_EQ(AllOf(heard, ReadProperty).size(), 3u);
  EXPECT_TRUE(AllOf(heard, ReadUserList).empty());
}

// -------------------------------------------------------------------- bans

TEST_F(StoreEditorsFlow, ServerBansAreListedAddedAndRemoved) {
  Start();
  JoinedClient banner = Join("Banner");
  JoinedClient ann = Join("Ann");
  auto send = [](JoinedClient& client, std::uint16_t action, std::uint32_t address,
                 std::uint16_t bits, const std::string& name = "", const std::string& reason = "") {
    BanRequest request;
    request.action = action;
    request.address = address;
    request.bits = bits;
    request.name = name;
    request.reason = reason;
    client.Send(*BuildBanRequest(request));
    return client.Drain();
  };

  EXPECT_EQ(CodeIn(send(ann, 0, 0, 0)), 22);
  EXPECT_EQ(CodeIn(send(ann, 2, 0x7F000032, 0)), 22);

  // 127.0.0.50 in host order; a name with a comma stays one field.
  EXPECT_FALSE(RefusalIn(send(banner, 2, 0x7F000032, 0, " Mal,lory ", "spam, flood")));
  EXPECT_FALSE(RefusalIn(send(banner, 2, 0x0A000000, 8, "Net")));
  const struct {
    const char* what;
    std::uint32_t address;
    std::uint16_t bits;
  } refused[] = {
      {"prefix 32 is not added", 0x0B000001, 32},
      {"already covered", 0x0A010203, 0},
  };
  for (const auto& c : refused) {
    auto refusal = RefusalIn(send(banner, 2, c.address, c.bits));
    ASSERT_TRUE(refusal) << c.what;
    EXPECT_EQ(refusal->code, 16) << c.what;
  }
  EXPECT_EQ(server.ReadFile("kestrune_srv.ban"),
            "127.0.0.50,Mal lory,Banner,spam, flood\n10.0.0.0/8,Net,Banner,\n");

  auto entries = AllOf(send(banner, 0, 0, 0), ReadBanEntry);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].address, 0x7F000032u);
  EXPECT_EQ(entries[0].bits, 32);
  EXPECT_EQ(entries[0].name, "Mal,lory");
  EXPECT_EQ(entries[0].text, "Banner");
  EXPECT_EQ(entries[0].reason, "spam, flood");
  EXPECT_EQ(entries[1].address, 0x0A000000u);
  EXPECT_EQ(entries[1].bits, 8);

  // The ban holds for that address.
  ClientSession banned;
  ASSERT_EQ(banned.Connect("127.0.0.1", static_cast<std::uint16_t>(server.Port()), "127.0.0.50"),
            0);
  auto notice = banned.Receive(3000);
  ASSERT_TRUE(notice);
  ASSERT_TRUE(ReadRefusal(*notice));
  EXPECT_EQ(ReadRefusal(*notice)->code, 49);

  // Removal needs the exact entry.
  EXPECT_EQ(CodeIn(send(banner, 1, 0x0A010203, 0)), 16);
  EXPECT_FALSE(RefusalIn(send(banner, 1, 0x0A000000, 8)));
  EXPECT_EQ(server.ReadFile("kestrune_srv.ban"), "127.0.0.50,Mal lory,Banner,spam, flood\n");
  EXPECT_EQ(AllOf(send(banner, 0, 0, 0), ReadBanEntry).size(), 1u);
}

TEST_F(StoreEditorsFlow, ChannelBansGoToTheTopLevelChannel) {
  Start();
  JoinedClient cad = Join("Cad");
  JoinedClient ann = Join("Ann");
  const std::uint16_t b = cad.ChannelId("B");
  const std::uint16_t c = cad.ChannelId("C");
  auto send = [](JoinedClient& client, std::uint16_t action, std::uint16_t channel,
                 std::uint32_t address = 0, std::uint16_t bits = 0) {
    BanRequest request;
    request.action = action;
    request.channel = channel;
    request.address = address;
    request.bits = bits;
    request.name = "Eve";
    request.reason = "noise, again";
    client.Send(*BuildBanRequest(request));
    return client.Drain();
  };

  EXPECT_EQ(CodeIn(send(ann, 5, b, 0x7F000009)), 12);
  EXPECT_EQ(CodeIn(send(cad, 5, ann.ChannelId("Vault"), 0x7F000009)), 12)
      << "Cad administers A only";
  EXPECT_FALSE(RefusalIn(send(cad, 5, b, 0x7F000009)));
  EXPECT_EQ(CodeIn(send(cad, 5, c, 0x7F000009)), 16) << "already banned in A";

  const std::string file = server.ReadFile("kestrune_srv.chn");
  const std::size_t a = file.find("[A]");
  const std::size_t item = file.find("BanItem0=127.0.0.9,Eve,Cad,noise%2C again");
  ASSERT_NE(item, std::string::npos) << file;
  EXPECT_LT(a, item);
  EXPECT_LT(item, file.find("[A/B]"));

  auto entries = AllOf(send(cad, 3, c), ReadBanEntry);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].action, 3);
  EXPECT_EQ(entries[0].channel, c);
  EXPECT_EQ(entries[0].address, 0x7F000009u);
  EXPECT_EQ(entries[0].reason, "noise, again");

  EXPECT_EQ(CodeIn(send(cad, 4, c, 0x7F000008)), 16);
  EXPECT_FALSE(RefusalIn(send(cad, 4, c, 0x7F000009)));
  EXPECT_TRUE(AllOf(send(cad, 3, b), ReadBanEntry).empty());
  EXPECT_EQ(server.ReadFile("kestrune_srv.chn").find("BanItem"), std::string::npos);
}

// --------------------------------------------------------------- malformed

TEST_F(StoreEditorsFlow, MalformedEditorRequestsCloseTheSender) {
  Start();
  auto sized = [](std::uint16_t type, int extra) {
    auto message = CreateMessage(type);
    if (extra > 0) message->ReserveBytes(static_cast<std::size_t>(extra));
    if (extra < 0) message->SetLength(message->Length() + extra);
    return message;
  };
  auto withAction = [](std::unique_ptr<Message> message, std::uint16_t action) {
    message->SetU16(4, action);
    return message;
  };
  auto rankTwo = BuildRankEdit(3, 0, 1, "A", "B");
  rankTwo->SetU16(10, 2);
  auto rankTrailing = BuildRankEdit(4, 1, 0);
  rankTrailing->ReserveBytes(1);
  AccountData record;
  record.name = "Zed";
  auto accountTrailing = BuildAccountEdit(1, record);
  accountTrailing->ReserveBytes(2);
  BanRequest control;
  control.name = "a\tb";
  BanRequest unknown;
  unknown.action = 6;

  struct Case {
    const char* what;
    const char* user;
    bool takeEditor;
    std::unique_ptr<Message> request;
  };
  Case cases[] = {
      {"rank body 11", "Ranker", false, withAction(sized(MSG_RANK_ADMIN, -1), 1)},
      {"rank action 0", "Ranker", false, withAction(sized(MSG_RANK_ADMIN, 0), 0)},
      {"rank action 6", "Ranker", false, withAction(sized(MSG_RANK_ADMIN, 0), 6)},
      {"rank take with a body of 14", "Ranker", false, withAction(sized(MSG_RANK_ADMIN, 2), 1)},
      {"rank count 2", "Ranker", false, std::move(rankTwo)},
      {"rank record not at the end", "Ranker", false, std::move(rankTrailing)},
      {"account body 15", "Root", false, sized(MSG_ACCOUNT_ADMIN, -1)},
      {"account listing body 16", "Root", false, sized(MSG_ACCOUNT_ADMIN, 0)},
      {"account action 5", "Root", false, withAction(sized(MSG_ACCOUNT_ADMIN, 0), 5)},
      {"account action 7", "Root", false, withAction(sized(MSG_ACCOUNT_ADMIN, 0), 7)},
      {"account add without the editor", "Root", false, BuildAccountEdit(1, record)},
      {"account record not at the end", "Root", true, std::move(accountTrailing)},
      {"account delete without a block", "Root", true, withAction(sized(MSG_ACCOUNT_ADMIN, 50), 2)},
      {"properties body 7", "Ann", false, sized(MSG_SERVER_PROPS, -1)},
      {"properties action 2", "Root", false, withAction(sized(MSG_SERVER_PROPS, 0), 2)},
      {"ban body 207", "Banner", false, sized(MSG_BAN_LIST, -1)},
      {"ban body 209", "Banner", false, sized(MSG_BAN_LIST, 1)},
      {"ban action 6", "Banner", false, BuildBanRequest(unknown)},
      {"ban name with a control byte", "Ann", false, BuildBanRequest(control)},
  };
  for (Case& c : cases) {
    JoinedClient client = Join(c.user);
    if (c.takeEditor) {
      client.Send(*BuildAccountList());
      client.Drain();
    }
    client.Send(*c.request);
    EXPECT_TRUE(client.session->WaitClosed(3000)) << c.what;
  }
}

}  // namespace
}  // namespace kestrune::e2e
