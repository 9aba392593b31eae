#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "protocol/client_records.h"
#include "protocol_fixture.h"
#include "store/penalty_tracker.h"

namespace kestrune {
namespace {

using testing::ProtocolFixture;
using testing::TestClient;
using P = PermissionBlock;

// Byte layouts checked against hand-written offsets, not the client readers,
// which share their offsets with the builders.
std::vector<std::uint8_t> Bytes(const Message& message) {
  return std::vector<std::uint8_t>(message.Data(), message.Data() + message.Length());
}
void PutU16(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint16_t value) {
  bytes[at] = static_cast<std::uint8_t>(value & 0xFF);
  bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
}
void PutText(std::vector<std::uint8_t>& bytes, std::size_t at, const std::string& text) {
  std::copy(text.begin(), text.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
}

TEST(LoginMessageLayout, ServerInfoSessionInfoAndProperty) {
  ServerSettings settings;
  settings.name = std::string(40, 'n');
  settings.port = 4321;
  settings.voiceCodec = 3;
  settings.voiceFormat = 7;
  settings.silentLobby = 0x1FF;

  std::vector<std::uint8_t> info(108, 0);
  PutU16(info, 0, MSG_SERVER_INFO);
  PutU16(info, 4, 104);
  PutU16(info, 8, 4321);
  PutU16(info, 10, 8);
  PutU16(info, 12, 3);
  PutText(info, 28, std::string(31, 'n'));
  PutText(info, 60, "3.0.2");
  EXPECT_EQ(Bytes(*BuildServerInfo(settings, 3, "3.0.2")), info);

  std::vector<std::uint8_t> session(24, 0);
  PutU16(session, 0, MSG_SESSION_INFO);
  PutU16(session, 8, 3);
  PutU16(session, 10, 7);
  session[16] = 1;
  session[17] = 0xFF;
  EXPECT_EQ(Bytes(*BuildSessionInfo(settings, true)), session);
  session[16] = 0;
  EXPECT_EQ(Bytes(*BuildSessionInfo(settings, false)), session);

  // Action 0, result 0, offset 10 zero, the value counted (big-endian) at 12.
  std::vector<std::uint8_t> property(16, 0);
  PutU16(property, 0, MSG_SERVER_PROPS);
  PutU16(property, 6, 5);
  property[12] = 0;
  property[13] = 2;
  PutText(property, 14, "12");
  EXPECT_EQ(Bytes(*BuildPropertyValue(5, "12")), property);
}

TEST(LoginMessageLayout, ClientRecordAndItsStrings) {
  ClientRecord record;
  record.id = 0x0102;
  record.channel = 0x0304;
  record.flagA = kRecordOwn;
  record.flagB = kRecordGuest | kRecordNoEventSounds;
  record.rank = 3;
  record.name = "Al";
  record.phonetic = "P";
  record.comment = "c";
  record.url = "u";
  record.integration = "i";
  for (bool withComments : {true, false}) {
    auto list = BuildUserList(kUserListAdded);
    ASSERT_TRUE(AppendClientRecord(*list, record, withComments));
    std::vector<std::uint8_t> bytes = {93, 0, 0,   0,   1, 0,  1,  0,  // action 1, one record
                                       2,  1, 4,   3,   1, 12, 3,  0,  // id, channel, A, B, rank
                                       0,  2, 'A', 'l', 0, 1,  'P'};
    for (char text : {'c', 'u', 'i'}) {
      bytes.push_back(0);
      if (withComments) {
        bytes.push_back(1);
        bytes.push_back(static_cast<std::uint8_t>(text));
      } else {
        bytes.push_back(0);
      }
    }
    EXPECT_EQ(Bytes(*list), bytes) << withComments;
  }
}

TEST(LoginMessageLayout, MotdPartsCarryTimeKindTotalIndexAndCount) {
  testing::TempDir dir;
  dir.Write("m.gmotd", std::string(256, 'a') + "bc");
  struct stat info {};
  ASSERT_EQ(stat(dir.File("m.gmotd").c_str(), &info), 0);
  auto parts = BuildMotdParts(dir.File("m.gmotd"), kMotdGuest);
  ASSERT_EQ(parts.size(), 2u);
  std::vector<std::uint8_t> last(272, 0);
  PutU16(last, 0, MSG_MOTD);
  const auto mtime = static_cast<std::uint32_t>(info.st_mtime);
  PutU16(last, 4, static_cast<std::uint16_t>(mtime & 0xFFFF));
  PutU16(last, 6, static_cast<std::uint16_t>(mtime >> 16));
  PutU16(last, 8, kMotdGuest);
  PutU16(last, 10, 2);
  PutU16(last, 12, 1);
  PutU16(last, 14, 2);
  PutText(last, 16, "bc");
  EXPECT_EQ(Bytes(*parts[1]), last);
  EXPECT_TRUE(BuildMotdParts(dir.File("missing.motd"), kMotdNormal).empty());
}

class HandshakeTest : public ProtocolFixture {};

// The handshake over a real stream: the reply under the fixed key, then the
// server description and everything after it under key A; key B for the
// client's side.
TEST_F(HandshakeTest, KeysGoOutFirstAndScrambleBothDirectionsAfterwards) {
  std::unique_ptr<testing::Peer> peer;
  auto owned = testing::PairedConnection(7, peer);
  owned->maySend = false;
  Connection& c = *owned;
  ASSERT_EQ(table.Add(std::move(owned), false), 0);
  peer->Send(*BuildHandshakeRequest("3.0.0"));
  auto received = table.Receive(c);
  ASSERT_TRUE(received);
  protocol->Dispatch(c, std::move(received));
  table.Flush(c);

  auto reply = peer->Next();
  ASSERT_TRUE(reply);
  auto text = ReadServerText(*reply);
  ASSERT_TRUE(text);
  EXPECT_EQ(text->flags, 4);
  const std::string keyB = text->text.substr(0, text->text.find('|'));
  const std::string keyA = text->text.substr(text->text.find('|') + 1);
  peer->In().Install(reinterpret_cast<const std::uint8_t*>(keyA.data()), keyA.size());
  peer->Out().Install(reinterpret_cast<const std::uint8_t*>(keyB.data()), keyB.size());
  auto info = peer->Next();
  ASSERT_TRUE(info);
  auto server = ReadServerInfo(*info);
  ASSERT_TRUE(server);
  EXPECT_EQ(server->port, 4321);
  EXPECT_EQ(server->name, "Unit Server");

  LoginRequest request;
  request.name = "Ann";
  request.digest = testing::DigestOf("ann");
  peer->Send(*BuildLoginRequest(request));
  auto login = table.Receive(c);
  ASSERT_TRUE(login) << "the login descrambles with key B";
  protocol->Dispatch(c, std::move(login));
  EXPECT_TRUE(c.loggedOn);
}

TEST_F(HandshakeTest, MalformedOrRepeatedHandshakesClose) {
  struct Case {
    const char* what;
    std::size_t body;
    std::string version;
    bool loggedIn;
  } cases[] = {{"short body", 79, "3.0.0", false},
               {"long body", 81, "3.0.0", false},
               {"two-byte version", 80, "30", false},
               {"control byte", 80, "3.0\x01", false},
               {"after login", 80, "3.0.0", true}};
  for (const Case& k : cases) {
    TestClient& client = k.loggedIn ? LoggedIn("Ann", "ann") : Connect();
    auto message = std::make_unique<Message>(4 + k.body);
    message->SetFixedText(4, 16, k.version);
    Dispatch(client, std::move(message));
    EXPECT_LT(client.c->socket, 0) << k.what;
    Drop(client);
  }
  TestClient& caps = Connect();
  caps.c->maySend = false;
  Dispatch(caps, BuildHandshakeRequest("3.0.0"));
  EXPECT_TRUE(caps.c->maySend);
  EXPECT_TRUE(caps.c->sendCipher.Installed());
}

// The one message a refused login gets.
std::optional<RefusalInfo> OnlyRefusal(const std::vector<std::unique_ptr<Message>>& got) {
  if (got.size() != 1) return std::nullopt;
  return ReadRefusal(*got[0]);
}
std::optional<ServerTextInfo> OnlyText(const std::vector<std::unique_ptr<Message>>& got) {
  if (got.size() != 1) return std::nullopt;
  return ReadServerText(*got[0]);
}

class LoginTest : public ProtocolFixture {};

TEST_F(LoginTest, MalformedLoginsCloseWithoutAReply) {
  struct Case {
    const char* what;
    LoginRequest request;
  };
  auto with = [](auto change) {
    LoginRequest request = Request("Ann", "ann");
    change(request);
    return request;
  };
  const Case cases[] = {
      {"empty name", with([](LoginRequest& r) { r.name = ""; })},
      {"blank name", with([](LoginRequest& r) { r.name = "   "; })},
      {"reserved name", with([](LoginRequest& r) { r.name = "Console"; })},
      {"name of X", with([](LoginRequest& r) { r.name = "xxxxxxxxBob"; })},
      {"comma", with([](LoginRequest& r) { r.name = "a,b"; })},
      {"reserved once trimmed", with([](LoginRequest& r) { r.name = " Console"; })},
      {"guest once trimmed", with([](LoginRequest& r) { r.name = "Guest "; })},
      {"control byte", with([](LoginRequest& r) { r.platform = "Lin\x02ux"; })},
      {"protocol", with([](LoginRequest& r) { r.protocolVersion = "3.0.1"; })},
  };
  for (const Case& k : cases) {
    TestClient& client = Connect();
    SendLogin(client, k.request);
    EXPECT_LT(client.c->socket, 0) << k.what;
    EXPECT_FALSE(client.c->loggedOn) << k.what;
    Drop(client);
  }
  TestClient& noHandshake = Connect();
  noHandshake.c->maySend = false;
  SendLogin(noHandshake, Request("Ann", "ann"));
  EXPECT_LT(noHandshake.c->socket, 0);
}

TEST_F(LoginTest, WrongPasswordsCountAndAPenaltyRefusesWith48) {
  const std::uint32_t address = ntohl(inet_addr("127.0.0.7"));
  for (int attempt = 1; attempt <= 10; ++attempt) {
    TestClient& client = Connect("127.0.0.7");
    SendLogin(client, Request("Ann", "wrong"));
    auto text = OnlyText(Drain(client));
    ASSERT_TRUE(text) << attempt;
    EXPECT_EQ(text->flags, 65);
    EXPECT_TRUE(client.c->closing);
    Drop(client);
  }
  // The tenth wrong password started a 10-minute penalty for this address.
  const PenaltyEntry* entry = accounts->FindByName("Ann")->penalties.Peek(address);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->penaltyMinutes, 10);
  TestClient& right = Connect("127.0.0.7");
  SendLogin(right, Request("Ann", "ann"));
  auto refusal = OnlyRefusal(Drain(right));
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->code, 48);
  EXPECT_EQ(refusal->detail, 11);
  EXPECT_TRUE(refusal->closes);
  Drop(right);
  EXPECT_TRUE(LoggedIn("Ann", "ann", "127.0.0.8").c->loggedOn) << "another address is free";
}

TEST_F(LoginTest, GuestRulesFollowAuthAndTheGuestAccount) {
  struct Case {
    int auth;
    const char* password;
    bool admitted;
  } cases[] = {{0, "", true},       {0, "anything", true}, {1, "", false}, {1, "server", true},
               {1, "wrong", false}, {2, "server", false},  {-1, "", false}};
  settings.encPassLogin.FromPlain("server");
  for (const Case& k : cases) {
    settings.auth = k.auth;
    TestClient& client = Connect();
    SendLogin(client, Request("Visitor", k.password));
    EXPECT_EQ(client.c->loggedOn, k.admitted) << k.auth << " " << k.password;
    EXPECT_TRUE(client.c->guest);
    if (!k.admitted) {
      auto text = OnlyText(Drain(client));
      ASSERT_TRUE(text);
      EXPECT_EQ(text->flags, 65);
    }
    client.c->Close();
    protocol->Depart(*client.c);
    Drop(client);
  }
  settings.auth = 0;
  UserAccount* guest = accounts->GuestAccount();
  guest->permissions.SetByte(P::kLocked, 1);
  guest->lockedReason = "Closed for guests";
  TestClient& locked = Connect();
  SendLogin(locked, Request("Visitor"));
  auto refusal = OnlyRefusal(Drain(locked));
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->code, 35);
  EXPECT_EQ(refusal->text, "Closed for guests");
}

TEST_F(LoginTest, GuestLimitAndGuestTimeLimit) {
  properties.guestMaxLogin = 2;
  properties.guestAutoKick = 3;
  TestClient& one = LoggedIn("One");
  EXPECT_TRUE(one.c->timeLimitTimer.Armed());
  EXPECT_EQ(one.c->timeLimitTimer.Interval(), 180u);
  LoggedIn("Two");
  LoggedIn("Ann", "ann");  // accounts do not count
  TestClient& three = Connect();
  SendLogin(three, Request("Three"));
  auto refusal = OnlyRefusal(Drain(three));
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->code, 19);
  EXPECT_FALSE(LoggedIn("Rex", "rex").c->timeLimitTimer.Armed());
}

TEST_F(LoginTest, AdmittedClientReceivesThePictureAndIsAnnounced) {
  dir.Write("t.gmotd", std::string(513, 'g'));
  dir.Write("t.motd", "normal");
  properties.chatFilter = 1;
  properties.comment = "Server comment";
  TestClient& guest = LoggedIn("Visitor");
  guest.c->comment = "guest comment";
  TestClient& blind = LoggedIn("Rex", "rex");
  blind.c->permissions[P::kSeeNonGuests] = 0;
  blind.c->permissions[P::kSeeUserComments] = 0;
  accounts->FindByName("Ann")->permissions.SetByte(P::kSoundsEvents, 0);
  accounts->FindByName("Ann")->permissions.SetByte(P::kSeeUserComments, 0);
  Drain(guest);

  TestClient& ann = Connect();
  SendLogin(ann, Request("Ann", "ann"));
  auto got = Drain(ann);
  const std::vector<std::uint16_t> expected = {
      MSG_SERVER_PROPS, MSG_SERVER_PROPS, MSG_SERVER_PROPS, MSG_ACCOUNT_ADMIN,
      MSG_RANK_ADMIN,   MSG_USER_LIST,    MSG_SESSION_INFO, MSG_MOTD,
      MSG_MOTD,         MSG_MOTD,         MSG_MOTD,         MSG_LOGIN_ACCEPTED};
  EXPECT_EQ(Types(got), expected) << "three guest parts for 513 bytes, then one normal part";
  EXPECT_EQ(ReadProperty(*got[0])->value, "1");
  std::vector<std::pair<std::uint16_t, std::size_t>> parts;
  for (const auto& m : got) {
    if (auto part = ReadMotdPart(*m)) parts.push_back({part->total, part->bytes.size()});
  }
  EXPECT_EQ(parts, (std::vector<std::pair<std::uint16_t, std::size_t>>{
                       {3, 256}, {3, 256}, {3, 1}, {1, 6}}));
  auto ranksMessage = ReadRankList(*First(got, MSG_RANK_ADMIN));
  ASSERT_TRUE(ranksMessage);
  EXPECT_TRUE(ranksMessage->ranks.empty()) << "count 0 when there are no ranks";

  auto list = ReadUserList(*First(got, MSG_USER_LIST));
  ASSERT_TRUE(list);
  ASSERT_EQ(list->records.size(), 4u);
  EXPECT_EQ(list->records[0].comment, "Server comment");
  EXPECT_EQ(list->records[1].flagA, kRecordOwn);
  EXPECT_EQ(list->records[1].flagB, 0) << "own record: the guest bit only";
  EXPECT_EQ(list->records[2].name, "Visitor");
  EXPECT_EQ(list->records[2].flagB, kRecordGuest);
  EXPECT_EQ(list->records[2].comment, "") << "Ann lacks SeeUserComments";

  // The guest sees Ann arrive; Rex, who may not see registered users, does not.
  auto seen = Drain(guest);
  ASSERT_EQ(seen.size(), 1u);
  auto added = ReadUserList(*seen[0]);
  ASSERT_TRUE(added);
  EXPECT_EQ(added->action, kUserListAdded);
  EXPECT_EQ(added->records.at(0).flagB, kRecordNoEventSounds);
  EXPECT_TRUE(Drain(blind).empty());
  EXPECT_EQ(loggedOn, 3);
  EXPECT_EQ(peak, 3);
}

TEST_F(LoginTest, QuietLoginSkipsMessagesOfTheDayAndTheVersionNotice) {
  dir.Write("t.gmotd", "guests");
  protocol->NewVersion() = {"3.1.0", "", "http://127.0.0.1/new"};
  for (std::uint32_t flags : {0u, 1u}) {
    TestClient& sam = Connect();
    LoginRequest request = Request("Sam", "sam");
    request.flags = flags;
    SendLogin(sam, request);
    auto got = Drain(sam);
    EXPECT_TRUE(sam.c->administrator) << "ServerAdmin logs in to AdminMode";
    EXPECT_EQ(sam.c->permissions, accounts->FindByName("Sam")->permissions.Raw())
        << "its copy stays as loaded";
    const bool quiet = flags != 0;
    EXPECT_EQ(First(got, MSG_MOTD) == nullptr, quiet);
    const Message* notice = First(got, MSG_SERVER_TEXT);
    EXPECT_EQ(notice == nullptr, quiet);
    if (notice != nullptr) {
      EXPECT_EQ(ReadServerText(*notice)->text,
                "A new Kestrune server (version 3.1.0) is now available.\n\nYou can download "
                "the new server from this link\nhttp://127.0.0.1/new");
    }
    EXPECT_EQ(got.back()->Type(), MSG_LOGIN_ACCEPTED);
  }
}

TEST_F(LoginTest, MuteGloballyMutesTheNewcomerForEveryoneWhoSeesIt) {
  TestClient& watcher = LoggedIn("Rex", "rex");
  accounts->FindByName("Ann")->permissions.SetByte(P::kMuteGlobally, 1);
  TestClient& ann = Connect();
  SendLogin(ann, Request("Ann", "ann"));
  EXPECT_TRUE(protocol->Sessions().Of(ann.c->id).globalMute);
  for (TestClient* client : {&watcher, &ann}) {
    auto got = Drain(*client);
    const Message* setting = First(got, MSG_USER_SETTING);
    ASSERT_NE(setting, nullptr);
    auto info = ReadUserSetting(*setting);
    EXPECT_EQ(info->id, ann.c->id);
    EXPECT_EQ(info->setting, 4);
    EXPECT_EQ(info->value, 1u);
  }
}

TEST_F(LoginTest, LoginHooksRunInTheirPlaces) {
  std::vector<std::string> calls;
  Protocol::LoginHooks hooks;
  hooks.sendChannelList = [&](Connection&) { calls.push_back("channels"); };
  hooks.recordAdminChannels = [&](Connection&, const std::vector<std::uint16_t>& ids) {
    calls.push_back("admin " + std::to_string(ids.size()));
  };
  hooks.sendTalkers = [&](Connection&) { calls.push_back("talkers"); };
  hooks.sendChatters = [&](Connection&) { calls.push_back("chatters"); };
  hooks.sendPhantoms = [&](Connection&) { calls.push_back("phantoms"); };
  hooks.sendSettings = [&](Connection&) { calls.push_back("settings"); };
  hooks.enterDefaultChannel = [&](Connection&, std::uint16_t id) {
    calls.push_back("default " + std::to_string(id));
  };
  protocol->SetLoginHooks(hooks);
  UserAccount* ann = accounts->FindByName("Ann");
  ann->chanAdmin = {40, 41};
  ann->permissions.SetDefChan(40);
  TestClient& client = Connect();
  SendLogin(client, Request("Ann", "ann"));
  EXPECT_EQ(calls, (std::vector<std::string>{"channels", "admin 2", "talkers", "chatters",
                                             "phantoms", "settings", "default 40"}));
  auto got = Drain(client);
  auto admins = ReadChannelAdminList(*First(got, MSG_CHANNEL_AUTH));
  ASSERT_TRUE(admins);
  EXPECT_EQ(*admins, (std::vector<std::uint16_t>{40, 41}));
  EXPECT_TRUE(ReadSessionInfo(*First(got, MSG_SESSION_INFO))->hasDefChan);
}

class AdmissionTest : public ProtocolFixture {};

TEST_F(AdmissionTest, SameNameEvictsOnlyWhenTheNewLoginSucceeds) {
  settings.duplicates = 0;
  TestClient& first = LoggedIn("Ann", "ann", "127.0.0.2");
  LoggedIn("Rex", "rex", "127.0.0.2");
  // Refused by the address limit, which Rex fills: the older Ann stays.
  accounts->FindByName("Ann")->permissions.SetByte(P::kDuplicatesIPs, 1);
  Drain(first);
  TestClient& sameHost = Connect("127.0.0.2");
  SendLogin(sameHost, Request("ANN", "ann"));
  auto refused = OnlyRefusal(Drain(sameHost));
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->code, 40);
  EXPECT_FALSE(first.c->closing);
  EXPECT_TRUE(Drain(first).empty());

  TestClient& second = Connect("127.0.0.3");
  SendLogin(second, Request("aNN", "ann"));
  EXPECT_TRUE(second.c->loggedOn);
  auto got = Drain(first);
  ASSERT_FALSE(got.empty());
  auto replaced = ReadRefusal(*got[0]);
  ASSERT_TRUE(replaced);
  EXPECT_EQ(replaced->code, 39);
  EXPECT_TRUE(first.c->closing);
}

// A client whose link dropped comes back from the same address while its old
// session is still open: the session it replaces holds no address slot.
TEST_F(AdmissionTest, ReplacedSessionIsNotCountedByTheAddressLimit) {
  accounts->FindByName("Ann")->permissions.SetByte(P::kDuplicatesIPs, 1);
  for (int duplicates : {1, 0}) {
    SCOPED_TRACE(duplicates);
    settings.duplicates = duplicates;
    TestClient& old = LoggedIn("Ann", "ann", "127.0.0.4");
    TestClient& back = Connect("127.0.0.4");
    SendLogin(back, Request("ann", "ann"));
    if (duplicates == 1) {
      auto refused = OnlyRefusal(Drain(back));
      ASSERT_TRUE(refused) << "without replacement the old session counts";
      EXPECT_EQ(refused->code, 40);
      Drop(back);
      Drop(old);
      continue;
    }
    EXPECT_TRUE(back.c->loggedOn);
    auto got = Drain(old);
    ASSERT_FALSE(got.empty());
    auto replaced = ReadRefusal(*got[0]);
    ASSERT_TRUE(replaced);
    EXPECT_EQ(replaced->code, 39);
    EXPECT_TRUE(replaced->closes);
  }
}

TEST_F(AdmissionTest, AddressLimitCountsTheOtherConnectionsOfTheAddress) {
  accounts->FindByName("Ann")->permissions.SetByte(P::kDuplicatesIPs, 3);
  Connect("127.0.0.5");  // not logged in, still counted
  LoggedIn("Ann", "ann", "127.0.0.5");
  LoggedIn("Ann", "ann", "127.0.0.6");  // another host
  LoggedIn("Ann", "ann", "127.0.0.5");
  TestClient& fourth = Connect("127.0.0.5");
  SendLogin(fourth, Request("Ann", "ann"));
  auto refused = OnlyRefusal(Drain(fourth));
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->code, 41);
}

// Fills the server with eight logged-in clients named in `names` (passwords
// equal the lower-case name; other names are guests).
class CapacityTest : public ProtocolFixture {
 protected:
  std::vector<TestClient*> Fill(const std::vector<std::string>& names) {
    std::vector<TestClient*> filled;
    int host = 10;
    for (const std::string& name : names) {
      std::string password = name;
      std::transform(password.begin(), password.end(), password.begin(), ::tolower);
      if (accounts->FindByName(name) == nullptr) password.clear();
      filled.push_back(&LoggedIn(name, password, "127.0.0." + std::to_string(host++)));
    }
    return filled;
  }
  // The index of the one client bumped (flags 1025), or -1.
  int Bumped(const std::vector<TestClient*>& filled) {
    int found = -1;
    for (std::size_t i = 0; i < filled.size(); ++i) {
      for (const auto& m : Drain(*filled[i])) {
        auto text = ReadServerText(*m);
        if (text && text->flags == 1025) found = static_cast<int>(i);
      }
    }
    return found;
  }
};

TEST_F(CapacityTest, ReservedAccountBumpsGuestsFirstThenClientsWithoutReserved) {
  settings.duplicates = 1;
  auto filled = Fill({"Ann", "Rex", "G1", "Ann", "G2", "Ann", "Ann", "Ann"});
  TestClient& rex = Connect("127.0.0.30");
  SendLogin(rex, Request("Rex", "rex"));
  EXPECT_TRUE(rex.c->loggedOn);
  EXPECT_EQ(Bumped(filled), 2) << "the first guest in slot order";
  EXPECT_TRUE(protocol->Sessions().Of(filled[2]->c->id).spareGuestBan);

  // Once it is gone, the next Reserved login takes the other guest.
  Drop(*filled[2]);
  filled.erase(filled.begin() + 2);
  TestClient& rex2 = Connect("127.0.0.31");
  SendLogin(rex2, Request("Rex", "rex"));
  EXPECT_TRUE(rex2.c->loggedOn);
  EXPECT_EQ(Bumped(filled), 3);
}

TEST_F(CapacityTest, WithoutGuestsAClientWithoutReservedGoesAndOnlyAdminsBumpReserved) {
  settings.duplicates = 1;
  auto filled = Fill({"Rex", "Rex", "Rex", "Rex", "Ann", "Rex", "Rex", "Rex"});
  TestClient& rex = Connect("127.0.0.30");
  SendLogin(rex, Request("Rex", "rex"));
  EXPECT_EQ(Bumped(filled), 4);
  Drop(*filled[4]);
  filled.erase(filled.begin() + 4);
  filled.push_back(&rex);
  Drain(rex);

  // All Reserved now: Rex is turned away, Sam (ServerAdmin) bumps a non-admin.
  TestClient& another = Connect("127.0.0.32");
  SendLogin(another, Request("Rex", "rex"));
  auto full = OnlyText(Drain(another));
  ASSERT_TRUE(full);
  EXPECT_EQ(full->flags, 257);
  EXPECT_FALSE(another.c->loggedOn);
  Drop(another);
  TestClient& sam = Connect("127.0.0.33");
  SendLogin(sam, Request("Sam", "sam"));
  EXPECT_TRUE(sam.c->loggedOn);
  EXPECT_EQ(Bumped(filled), 0);
}

TEST_F(CapacityTest, ReplacedSessionLeavesRoomWithoutBumping) {
  settings.duplicates = 0;
  auto filled = Fill({"G1", "G2", "G3", "Ann", "G4", "G5", "G6", "G7"});
  TestClient& back = Connect("127.0.0.40");
  SendLogin(back, Request("Ann", "ann"));
  EXPECT_TRUE(back.c->loggedOn) << "Ann may not bump, but needs no room";
  EXPECT_EQ(Bumped(filled), -1);
  EXPECT_TRUE(filled[3]->c->closing);
}

TEST_F(CapacityTest, ClientListTakesEightRecordsPerMessage) {
  Fill({"G1", "G2", "G3", "G4", "G5", "G6", "G7"});
  TestClient& last = Connect("127.0.0.40");
  SendLogin(last, Request("Ann", "ann"));
  std::vector<std::size_t> counts;
  std::vector<std::string> names;
  for (const auto& m : Drain(last)) {
    auto list = ReadUserList(*m);
    if (!list) continue;
    EXPECT_EQ(list->action, kUserListFull);
    counts.push_back(list->records.size());
    for (const auto& record : list->records) names.push_back(record.name);
  }
  EXPECT_EQ(counts, (std::vector<std::size_t>{8, 1})) << "the server, Ann and seven guests";
  EXPECT_EQ(names.front(), "Unit Server");
  EXPECT_EQ(names.at(1), "Ann");
  EXPECT_EQ(names.back(), "G7");
}

TEST_F(CapacityTest, GuestsAndOrdinaryAccountsNeverBump) {
  auto filled = Fill({"G1", "G2", "G3", "G4", "G5", "G6", "G7", "G8"});
  for (const char* name : {"Visitor", "Ann"}) {
    TestClient& late = Connect("127.0.0.40");
    SendLogin(late, Request(name, name == std::string("Ann") ? "ann" : ""));
    auto full = OnlyText(Drain(late));
    ASSERT_TRUE(full) << name;
    EXPECT_EQ(full->flags, 257);
    Drop(late);
  }
  EXPECT_EQ(Bumped(filled), -1);
  EXPECT_EQ(loggedOn, 8);
}

}  // namespace
}  // namespace kestrune
