#include "protocol/complaints.h"

#include <gtest/gtest.h>

#include "client/motd_requests.h"
#include "protocol_fixture.h"

namespace kestrune {
namespace {

using testing::ProtocolFixture;
using testing::TestClient;
using P = PermissionBlock;

// The entry as the clients read it, from hand-written offsets.
TEST(ComplaintEntryLayout, FlagsTimeAndThreeCountedStrings) {
  Complaint complaint{"Bo", "Al", "rude", 0x01020304, true, false};
  auto entry = BuildComplaintEntry(complaint);
  std::vector<std::uint8_t> expected(24, 0);
  expected[0] = 86;
  expected[4] = 3;
  expected[12] = 1;
  expected[16] = 0x04;
  expected[17] = 0x03;
  expected[18] = 0x02;
  expected[19] = 0x01;
  for (const std::string text : {"Bo", "Al", "rude"}) {
    expected.push_back(0);
    expected.push_back(static_cast<std::uint8_t>(text.size()));
    expected.insert(expected.end(), text.begin(), text.end());
  }
  EXPECT_EQ(std::vector<std::uint8_t>(entry->Data(), entry->Data() + entry->Length()), expected);
}

class ComplaintsTest : public ProtocolFixture {
 protected:
  void SetUp() override {
    ProtocolFixture::SetUp();
    complaints = std::make_unique<Complaints>(*protocol);
    complaints->Register();
  }
  TestClient& Client(const std::string& name, bool send, bool receive) {
    std::string password = name;
    password[0] = static_cast<char>(std::tolower(password[0]));
    if (accounts->FindByName(name) == nullptr) password.clear();
    TestClient& client = LoggedIn(name, password, "127.0.0." + std::to_string(++host_));
    client.c->permissions[P::kComplaintsSend] = send ? 1 : 0;
    client.c->permissions[P::kComplaintsRecv] = receive ? 1 : 0;
    return client;
  }
  std::vector<ComplaintEntryInfo> Entries(TestClient& client) {
    std::vector<ComplaintEntryInfo> entries;
    for (const auto& m : Drain(client)) {
      if (auto entry = ReadComplaintEntry(*m)) entries.push_back(*entry);
    }
    return entries;
  }
  static std::optional<RefusalInfo> Refusal(const std::vector<std::unique_ptr<Message>>& got) {
    if (got.size() != 1) return std::nullopt;
    return ReadRefusal(*got[0]);
  }
  void DrainAll() {
    for (auto& client : clients) {
      if (client->c != nullptr) Drain(*client);
    }
  }

  std::unique_ptr<Complaints> complaints;
  int host_ = 1;
};

TEST_F(ComplaintsTest, SubmitReachesEveryReceiverWithNamesTimeAndGuestMarks) {
  TestClient& complainer = Client("Visitor", true, false);  // a guest
  TestClient& target = Client("Ann", false, false);
  TestClient& first = Client("Rex", false, true);
  TestClient& second = Client("Sam", false, true);
  TestClient& bystander = Client("Bystander", false, false);
  DrainAll();
  log.clock.SetWall(1700000123);
  Dispatch(complainer, BuildComplaintSubmit(target.c->id, "shouts", "a", "b"));
  EXPECT_FALSE(complainer.c->closing);
  for (TestClient* receiver : {&first, &second}) {
    auto entries = Entries(*receiver);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].target, "Ann");
    EXPECT_EQ(entries[0].complainer, "Visitor");
    EXPECT_EQ(entries[0].text, "shouts");
    EXPECT_EQ(entries[0].time, 1700000123u);
    EXPECT_FALSE(entries[0].targetGuest);
    EXPECT_TRUE(entries[0].complainerGuest);
  }
  EXPECT_TRUE(Entries(bystander).empty());
  EXPECT_TRUE(Entries(complainer).empty());

  // No client with that id: nothing is kept or sent.
  Dispatch(complainer, BuildComplaintSubmit(1000, "nobody"));
  EXPECT_TRUE(Entries(first).empty());
  EXPECT_EQ(complaints->Entries().size(), 1u);
}

TEST_F(ComplaintsTest, TheHundredAndFirstPushesOutTheFirstAndListIsOldestFirst) {
  TestClient& complainer = Client("Ann", true, false);
  TestClient& reader = Client("Rex", false, true);
  for (int i = 1; i <= 101; ++i)
    Dispatch(complainer, BuildComplaintSubmit(reader.c->id, std::to_string(i)));
  Drain(reader);
  Dispatch(reader, BuildComplaintRequest(kComplaintList));
  auto entries = Entries(reader);
  ASSERT_EQ(entries.size(), 100u);
  EXPECT_EQ(entries.front().text, "2");
  EXPECT_EQ(entries.back().text, "101");
}

TEST_F(ComplaintsTest, RightsAreRefusedAndTheConnectionStays) {
  TestClient& plain = Client("Ann", false, false);
  TestClient& target = Client("Rex", false, false);
  DrainAll();
  Dispatch(plain, BuildComplaintSubmit(target.c->id, "x"));
  auto refusal = Refusal(Drain(plain));
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->code, kRefuseComplaintsSend);
  Dispatch(plain, BuildComplaintRequest(kComplaintList));
  refusal = Refusal(Drain(plain));
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->code, kRefuseComplaintsRecv);
  EXPECT_FALSE(plain.c->closing);
  EXPECT_TRUE(complaints->Entries().empty());
}

TEST_F(ComplaintsTest, ClearNeedsAdminModeThenComplaintsRecv) {
  TestClient& sender = Client("Ann", true, false);
  Dispatch(sender, BuildComplaintSubmit(sender.c->id, "me"));
  ASSERT_EQ(complaints->Entries().size(), 1u);

  TestClient& receiver = Client("Rex", false, true);
  Dispatch(receiver, BuildComplaintRequest(kComplaintClear));
  EXPECT_TRUE(receiver.c->closing) << "ComplaintsRecv without AdminMode";

  TestClient& admin = Client("Sam", false, false);
  ASSERT_TRUE(admin.c->administrator);
  DrainAll();
  Dispatch(admin, BuildComplaintRequest(kComplaintClear));
  auto refusal = Refusal(Drain(admin));
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->code, kRefuseComplaintsRecv);
  EXPECT_EQ(complaints->Entries().size(), 1u);

  admin.c->permissions[P::kComplaintsRecv] = 1;
  Dispatch(admin, BuildComplaintRequest(kComplaintClear));
  EXPECT_FALSE(admin.c->closing);
  EXPECT_TRUE(complaints->Entries().empty());
}

TEST_F(ComplaintsTest, MalformedRequestsClose) {
  auto withByte = [](std::unique_ptr<Message> m) {
    m->ReserveBytes(1);
    return m;
  };
  auto badText = [] {
    auto m = BuildComplaintRequest(kComplaintSubmit);
    WriteCountedString(*m, "a");
    WriteCountedString(*m, "b");
    WriteCountedString(*m, std::string(257, 't'));
    return m;
  };
  auto longName = [] {
    auto m = BuildComplaintRequest(kComplaintSubmit);
    WriteCountedString(*m, std::string(33, 'n'));
    WriteCountedString(*m, "b");
    WriteCountedString(*m, "t");
    return m;
  };
  struct Case {
    const char* what;
    std::unique_ptr<Message> message;
  };
  Case cases[] = {
      {"submit without strings", BuildComplaintRequest(kComplaintSubmit)},
      {"submit missing the text", withByte(withByte(BuildComplaintRequest(kComplaintSubmit)))},
      {"text of 257 bytes", badText()},
      {"name of 33 bytes", longName()},
      {"list with a longer body", withByte(BuildComplaintRequest(kComplaintList))},
      {"unknown action", BuildComplaintRequest(4)},
      {"entry action from a client", BuildComplaintRequest(kComplaintEntry)},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestClient& client = Client("Ann", true, true);
    Dispatch(client, std::move(c.message));
    EXPECT_TRUE(client.c->closing);
    Drop(client);
  }
  TestClient& stranger = Connect("127.0.0.99");
  Dispatch(stranger, BuildComplaintRequest(kComplaintList));
  EXPECT_TRUE(stranger.c->closing) << "before login";

  // 32 and 256 bytes are the largest accepted.
  TestClient& client = Client("Ann", true, false);
  Dispatch(client, BuildComplaintSubmit(client.c->id, std::string(256, 't'), std::string(32, 'n'),
                                        std::string(32, 'm')));
  EXPECT_FALSE(client.c->closing);
  ASSERT_EQ(complaints->Entries().size(), 1u);
  EXPECT_EQ(complaints->Entries()[0].text.size(), 256u);
}

}  // namespace
}  // namespace kestrune
