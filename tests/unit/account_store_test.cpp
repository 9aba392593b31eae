#include "store/account_store.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "store/ini_file.h"
#include "unit/support/temp_dir.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using P = PermissionBlock;

const std::string kHexA(64, 'A');
const std::string kHexB = std::string(63, '1') + "2";

using testing::ReadFile;

std::string Account(const std::string& name, const std::string& keys) {
  return "[" + name + "]\n" + keys;
}

// A small channel tree: Lobby (1, top), Lobby/Quiet (2, ProtMode 2),
// Games (3, top, ProtMode 2), Games/Chess (4); channel administrators by
// connection id, inherited by sub-channels.
struct FakeTree : ChannelSource {
  struct Node {
    std::string path;
    int protMode;
    std::uint16_t parent;
  };
  std::map<std::uint16_t, Node> nodes{{1, {"Lobby", 0, 0}},
                                      {2, {"Lobby/Quiet", 2, 1}},
                                      {3, {"Games", 2, 0}},
                                      {4, {"Games/Chess", 0, 3}}};
  std::multimap<std::uint16_t, std::uint16_t> admins;  // connection -> channel

  std::uint16_t ChannelIdByPath(std::string_view path) const override {
    for (const auto& [id, node] : nodes) {
      if (EqualsIgnoreCase(node.path, path)) return id;
    }
    return 0;
  }
  std::string ChannelPath(std::uint16_t id) const override {
    auto it = nodes.find(id);
    return it == nodes.end() ? std::string() : it->second.path;
  }
  bool ChannelExists(std::uint16_t id) const override { return nodes.count(id) != 0; }
  int ProtMode(std::uint16_t id) const override {
    auto it = nodes.find(id);
    return it == nodes.end() ? 0 : it->second.protMode;
  }
  bool IsChannelAdmin(std::uint16_t connection, std::uint16_t channel) const override {
    for (int depth = 0; channel != 0 && depth < 64; ++depth) {
      auto range = admins.equal_range(connection);
      for (auto it = range.first; it != range.second; ++it) {
        if (it->second == channel) return true;
      }
      auto node = nodes.find(channel);
      if (node == nodes.end()) return false;
      channel = node->second.parent;
    }
    return false;
  }
};

// Connections as the store sees them, with a log of what it did to them.
struct FakeSessions : AccountSessions {
  std::vector<SessionInfo> list;
  std::map<std::uint16_t, P> copies;
  std::vector<std::string> calls;

  SessionInfo& Add(std::uint16_t id, const std::string& name, bool guest = false,
                   std::uint16_t phantomOwner = 0) {
    SessionInfo s;
    s.id = id;
    s.name = name;
    s.loggedIn = true;
    s.guest = guest;
    s.phantomOwner = phantomOwner;
    list.push_back(s);
    copies[id] = P();
    return list.back();
  }
  SessionInfo* Find(std::uint16_t id) {
    for (SessionInfo& s : list) {
      if (s.id == id) return &s;
    }
    return nullptr;
  }
  void Log(const std::string& what, std::uint16_t id, const std::string& extra = {}) {
    calls.push_back(what + " " + std::to_string(id) + (extra.empty() ? "" : " " + extra));
  }

  std::vector<SessionInfo> Sessions() override { return list; }
  std::optional<P> Permissions(std::uint16_t id) override {
    auto it = copies.find(id);
    if (it == copies.end()) return std::nullopt;
    return it->second;
  }
  void SetPermissions(std::uint16_t id, const P& block) override {
    if (copies.count(id) != 0) copies[id] = block;
  }
  void SetAdminMode(std::uint16_t id, bool on) override {
    Find(id)->adminMode = on;
    Log(on ? "admin-on" : "admin-off", id);
  }
  void SendPermissions(std::uint16_t id) override { Log("send", id); }
  void NotifyAdminModeEnded(std::uint16_t id) override { Log("told-admin-ended", id); }
  void SetAdminChannels(std::uint16_t id, const std::vector<std::uint16_t>& channels) override {
    std::string text;
    for (auto c : channels) text += std::to_string(c) + ",";
    Log("admin-channels", id, text);
  }
  void GrantChannelAuth(std::uint16_t id, std::uint16_t channel) override {
    Log("auth", id, std::to_string(channel));
  }
  void ResetChannelAccess(std::uint16_t id) override { Log("reset-access", id); }
  void RefreshChannelView(std::uint16_t id) override { Log("refresh", id); }
  void TakeOutOfChannel(std::uint16_t id) override { Log("out", id); }
  void Disconnect(std::uint16_t id, int reason, const std::string& text) override {
    Log("disconnect", id, std::to_string(reason) + ":" + text);
  }
  void AnnounceRankChange(std::uint16_t id) override { Log("rank", id); }
};

class AccountStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kestrune_usr_XXXXXX";
    dir = mkdtemp(pattern);
    path = dir / "srv.usr";
    rankPath = dir / "srv.rank";
    std::ofstream(rankPath) << "[1]\nLevel=10\nAbbrev=Rec\nDescr=Recruit\n"
                               "[2]\nLevel=50\nAbbrev=Vet\nDescr=Veteran\n";
    ranks = std::make_unique<RankStore>(clock, rankPath.string());
    ranks->Load();
    store = std::make_unique<AccountStore>(clock, path.string(), *ranks);
    store->SetChannels(&tree);
    store->SetSessions(&sessions);
    store->SetLog([this](std::string_view text) { logLines.emplace_back(text); });
  }
  void TearDown() override { fs::remove_all(dir); }

  int Load(const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
    return store->Load();
  }
  // Saves what is pending and returns the file.
  std::string Saved() {
    EXPECT_EQ(store->Save(), 0);
    return ReadFile(path);
  }
  UserAccount& Named(const std::string& name) {
    UserAccount* account = store->FindByName(name);
    EXPECT_NE(account, nullptr) << name;
    return *account;
  }
  static AccountEditor Admin(std::uint16_t id = 90, const std::string& name = "root") {
    AccountEditor editor;
    editor.id = id;
    editor.name = name;
    editor.adminMode = true;
    AccountStore::ApplyAdminRights(editor.permissions);
    return editor;
  }
  static AccountEditor User(std::uint16_t id, const std::string& name,
                            std::initializer_list<std::size_t> flags) {
    AccountEditor editor;
    editor.id = id;
    editor.name = name;
    for (std::size_t at : flags) editor.permissions.SetByte(at, 1);
    return editor;
  }
  static AccountRecord Record(const std::string& name, const std::string& hex = kHexB) {
    AccountRecord record;
    record.name = name;
    PasswordDigest digest;
    digest.FromHex(hex);
    record.permissions.SetDigest(digest);
    return record;
  }
  // The record of an existing account, as an editor would send it back.
  AccountRecord Existing(const std::string& name) {
    const UserAccount& account = Named(name);
    AccountRecord record;
    record.permissions = account.permissions;
    record.name = account.name;
    record.owner = account.owner;
    record.notes = account.notes;
    record.lockedReason = account.lockedReason;
    record.chanAdmin = account.chanAdmin;
    record.chanAuth = account.chanAuth;
    return record;
  }

  fs::path dir, path, rankPath;
  FakeClock clock{5000};
  FakeTree tree;
  FakeSessions sessions;
  std::unique_ptr<RankStore> ranks;
  std::unique_ptr<AccountStore> store;
  std::vector<std::string> logLines;
};

// ---------------------------------------------------------------- loading

TEST_F(AccountStoreTest, LoadDropsAndFixesRecords) {
  ASSERT_EQ(Load(Account("Bob", "UID=1\n") +                          // no EncPass
                 Account("Ann", "UID=3\nEncPass=" + kHexA + "\n") +   //
                 Account("ann", "UID=4\nEncPass=" + kHexA + "\n") +   // name taken
                 Account("NoUid", "EncPass=" + kHexA + "\n") +        // gets 2 (1 is in the file)
                 Account("Twin", "UID=3\nEncPass=" + kHexA + "\n") +  // UID taken
                 Account("Zero", "UID=0\nEncPass=" + kHexA + "\n") +  // bad UID
                 Account("Big", "UID=65539\nEncPass=" + kHexA + "\n") +  // 65539 % 65536 = 3
                 Account("a,b", "UID=7\nEncPass=" + kHexA + "\n") +      // illegal character
                 Account(std::string(32, 'n'), "UID=8\nEncPass=" + kHexA + "\n") +
                 Account("  Spaced  ", "UID=9\nEncPass=" + kHexA + "\n") +
                 Account("Short", "UID=10\nEncPass=ABC\n")),
            0);
  EXPECT_EQ(store->FindByName("Bob"), nullptr);
  EXPECT_EQ(Named("ANN").Uid(), 3);
  EXPECT_EQ(Named("Ann").name, "Ann");
  EXPECT_EQ(Named("NoUid").Uid(), 2);
  EXPECT_EQ(store->FindByName("Twin"), nullptr);
  EXPECT_EQ(store->FindByName("Zero"), nullptr);
  EXPECT_EQ(store->FindByName("Big"), nullptr);
  EXPECT_EQ(store->FindByName("a,b"), nullptr);
  EXPECT_EQ(store->FindByUid(8), nullptr);
  EXPECT_EQ(Named("Spaced").Uid(), 9);
  EXPECT_EQ(store->FindByName("Short"), nullptr);
  // Guest created in the lowest free slot.
  EXPECT_EQ(store->GuestAccount()->Uid(), 1);
  EXPECT_EQ(store->Count(), 4);
  EXPECT_TRUE(store->SavePending());
}

TEST_F(AccountStoreTest, ReadsEveryKeyWithItsDefaultAndRange) {
  ASSERT_EQ(Load(Account("Ann", "UID=2\nEncPass=" + kHexA +
                                    "\nRank=2\nLocked=257\nDuplicatesIPs=3\nChanSwitch=0\n"
                                    "DefChan=games/chess\nSeeMotd=0\nEqualizer=1\n"
                                    "Owner=Root\nMuteGlobally=1\n") +
                 Account("Cid", "UID=3\nEncPass=" + kHexA + "\nRank=3\nDefChan=Nowhere\n")),
            0);
  const P& ann = Named("Ann").permissions;
  EXPECT_EQ(ann.RankId(), 2);
  EXPECT_EQ(ann.Byte(P::kLocked), 1);  // 257 modulo 256
  EXPECT_EQ(Named("Ann").lockedReason, "Unknown");
  EXPECT_EQ(ann.Byte(P::kDuplicatesIPs), 3);
  EXPECT_EQ(ann.Byte(P::kChanSwitch), 0);
  EXPECT_EQ(ann.DefChan(), 4);
  EXPECT_EQ(ann.Byte(P::kSeeMotd), 0);
  EXPECT_EQ(ann.Byte(P::kEqualizer), 1);
  EXPECT_EQ(ann.Byte(P::kMuteGlobally), 1);
  EXPECT_EQ(Named("Ann").owner, "Root");
  EXPECT_EQ(ann.Digest().ToHex(), kHexA);
  const P& cid = Named("Cid").permissions;
  EXPECT_EQ(cid.RankId(), 0);  // rank 3 is not defined
  EXPECT_EQ(cid.DefChan(), 0);
  for (const PermissionKey& key : FlagPermissionKeys()) {
    EXPECT_EQ(cid.Byte(key.offset), key.defaultValue) << key.key;
  }
  EXPECT_EQ(cid.Byte(P::kChanSwitch), 1);
  EXPECT_EQ(cid.Byte(P::kReserved), 0);
}

TEST_F(AccountStoreTest, TextLimitsAndEscapes) {
  ASSERT_EQ(Load(Account("Ann", "UID=2\nEncPass=" + kHexA + "\nOwner=" + std::string(32, 'o') +
                                    "\nNotes=one%0Atwo%2C%3D%25%\nLockedReason=" +
                                    std::string(128, 'r') + "\n") +
                 Account("Bea", "UID=3\nEncPass=" + kHexA + "\nOwner=" + std::string(31, 'o') +
                                    "\nNotes=" + std::string(255, 'n') + "\n")),
            0);
  EXPECT_EQ(Named("Ann").owner, "");
  EXPECT_EQ(Named("Ann").notes, "one\ntwo,=%");  // a lone "%" ends the text
  EXPECT_EQ(Named("Ann").lockedReason, "");
  EXPECT_EQ(Named("Bea").owner.size(), 31u);
  EXPECT_EQ(Named("Bea").notes.size(), 255u);

  Named("Ann").notes = "line\nbreak, 100%";
  Named("Ann").lockedReason = "caf\xC3\xA9=";
  store->ChannelDeleted(99);  // any change arms the save
  std::string file = Saved();
  EXPECT_NE(file.find("\nNotes=line%0Abreak%2C 100%25\n"), std::string::npos) << file;
  EXPECT_NE(file.find("\nLockedReason=caf%C3%A9%3D\n"), std::string::npos) << file;
  ASSERT_EQ(store->Load(), 0);
  EXPECT_EQ(Named("Ann").notes, "line\nbreak, 100%");
  EXPECT_EQ(Named("Ann").lockedReason, "caf\xC3\xA9=");
}

TEST_F(AccountStoreTest, ListsReadUpToTheFirstMissingIndex) {
  ASSERT_EQ(Load(Account("Ann", "UID=2\nEncPass=" + kHexA +
                                    "\nChanAdminCount=3\nChanAdmin0=Lobby\nChanAdmin2=Games\n"
                                    "ChanAuthCount=3\nChanAuth0=Nowhere\nChanAuth1=games\n"
                                    "ChanAuth2=Lobby/Quiet\nChanAuth3=Lobby\n")),
            0);
  EXPECT_EQ(Named("Ann").chanAdmin, (std::vector<std::uint16_t>{1}));
  EXPECT_EQ(Named("Ann").chanAuth, (std::vector<std::uint16_t>{3, 2}));  // unknown path skipped

  // The count keeps ids whose channel has gone; their keys do not appear.
  Named("Ann").chanAuth = {3, 77, 2};
  store->ChannelDeleted(50);
  std::string file = Saved();
  EXPECT_NE(file.find("ChanAdminCount=1\nChanAdmin0=Lobby\n"
                      "ChanAuthCount=3\nChanAuth0=Games\nChanAuth1=Lobby/Quiet\n\n"),
            std::string::npos)
      << file;
}

TEST_F(AccountStoreTest, ServerAdminExpansionIsWrittenOutByTheNextSave) {
  ASSERT_EQ(Load(Account("Root", "UID=2\nEncPass=" + kHexA + "\nServerAdmin=1\n") +
                 Account("Half", "UID=3\nEncPass=" + kHexA + "\nServerAdmin=1\nUsersKick=0\n")),
            0);
  const P& root = Named("Root").permissions;
  for (std::size_t at = P::kUsersAdd; at <= P::kReservedAssign; ++at) {
    EXPECT_EQ(root.Byte(at), 1) << at;
  }
  EXPECT_EQ(Named("Half").permissions.Byte(P::kUsersAdd), 0);
  EXPECT_TRUE(store->SavePending());
  std::string file = Saved();
  EXPECT_NE(file.find("ServerAdmin=1\nUsersAdd=1\nUsersDelete=1\nUsersBan=1\nUsersKick=1\n"
                      "UsersMove=1\nChanEditAdmins=1\nRankEdit=1\nMotdEditNormal=1\n"
                      "MotdEditGuest=1\nRcon=1\nRankAssign=1\nReservedAssign=1\n"),
            std::string::npos)
      << file;
  ASSERT_EQ(store->Load(), 0);
  EXPECT_EQ(Named("Root").permissions.Byte(P::kUsersAdd), 1);
  EXPECT_EQ(Named("Root").permissions.Byte(P::kExtraAdmin1), 0);  // not stored
  EXPECT_FALSE(store->SavePending());
}

// ---------------------------------------------------------------- the guest

TEST_F(AccountStoreTest, MissingFileGivesAGuestOnlyFile) {
  ASSERT_EQ(store->Load(), 0);
  ASSERT_EQ(store->Count(), 1);
  const UserAccount& guest = *store->GuestAccount();
  EXPECT_EQ(guest.name, "Guest");
  EXPECT_EQ(guest.Uid(), 1);
  EXPECT_EQ(guest.permissions.Byte(P::kComplaintsSend), 0);
  EXPECT_EQ(guest.permissions.Byte(P::kChanSwitch), 1);
  EXPECT_EQ(guest.permissions.Byte(P::kSeeUserComments), 1);
  EXPECT_EQ(guest.permissions.Byte(P::kIgnoreInactivity), 0);
  EXPECT_TRUE(store->SavePending());
  const std::string file = Saved();
  EXPECT_EQ(file.rfind("[Guest]\n\nUID=1\nEncPass=\nOwner=\nNotes=\nLockedReason=\nRank=0\n"
                       "Locked=0\nReserved=0\nDuplicatesIPs=0\nChanSwitch=1\nDefChan=\n"
                       "VoiceRecv=1\nPhantomsAdd=1\nRecord=1\nComplaintsRecv=0\n"
                       "ComplaintsSend=0\n",
                       0),
            0u)
      << file;
  EXPECT_EQ(file.find("[", 1), std::string::npos);  // only one section
  // The file reads back unchanged: nothing left to fix.
  ASSERT_EQ(store->Load(), 0);
  EXPECT_EQ(Saved(), file);
}

TEST_F(AccountStoreTest, UnreadableFileFailsTheLoadAndIsNeverReplaced) {
  // A folder stands where the file is: it exists but cannot be read.
  fs::create_directory(path);
  EXPECT_EQ(store->Load(), -1);
  EXPECT_FALSE(store->SavePending());
  ASSERT_EQ(logLines.size(), 1u);
  EXPECT_EQ(logLines[0], "ERROR: Unable to read the accounts file '" + path.string() + "'.");
  EXPECT_TRUE(fs::is_directory(path));
}

TEST_F(AccountStoreTest, LoadedGuestIsCleaned) {
  ASSERT_EQ(Load(Account("GUEST",
                         "UID=4\nServerAdmin=1\nUsersAdd=1\nRcon=1\nReserved=1\n"
                         "Owner=Bob\nComplaintsRecv=1\nMuteOthersPTT=1\nLocked=1\n"
                         "ChanAdminCount=1\nChanAdmin0=Lobby\nEncPass=" +
                             kHexA + "\n") +
                 Account("Bob", "UID=2\nEncPass=" + kHexA + "\n")),
            0);
  const UserAccount& guest = *store->GuestAccount();
  EXPECT_EQ(guest.name, "GUEST");
  EXPECT_EQ(guest.Uid(), 4);
  EXPECT_TRUE(guest.isGuest);
  for (std::size_t at : {P::kServerAdmin, P::kUsersAdd, P::kRcon, P::kReserved, P::kComplaintsRecv,
                         P::kMuteOthersPTT}) {
    EXPECT_EQ(guest.permissions.Byte(at), 0) << at;
  }
  EXPECT_FALSE(guest.permissions.Digest().IsSet());
  EXPECT_EQ(guest.owner, "");
  EXPECT_TRUE(guest.chanAdmin.empty());
  EXPECT_EQ(guest.permissions.Byte(P::kLocked), 1);  // Bob is unlocked
  EXPECT_EQ(guest.lockedReason, "Unknown");
}

TEST_F(AccountStoreTest, FiftyAccountsWithoutGuestLoseUid50) {
  std::string text;
  for (int uid = 1; uid <= 50; ++uid) {
    text += Account("User" + std::to_string(uid),
                    "UID=" + std::to_string(uid) + "\nEncPass=" + kHexA + "\n");
  }
  ASSERT_EQ(Load(text), 0);
  EXPECT_EQ(store->Count(), 50);
  EXPECT_EQ(store->FindByName("User50"), nullptr);
  EXPECT_EQ(store->FindByUid(50), store->GuestAccount());
  EXPECT_EQ(store->GuestAccount()->name, "Guest");
}

TEST_F(AccountStoreTest, TheTopUidLoadsAndSurvivesTheNextSave) {
  ASSERT_EQ(Load(Account("Guest", "UID=1\n") +
                 Account("Top", "UID=50\nEncPass=" + kHexA + "\nNotes=kept\n")),
            0);
  ASSERT_NE(store->FindByUid(50), nullptr);
  EXPECT_EQ(store->FindByUid(50)->name, "Top");
  store->ChannelDeleted(999);  // arms the save timer
  const std::string file = Saved();
  const std::size_t top = file.find("[Top]");
  ASSERT_NE(top, std::string::npos) << file;
  EXPECT_EQ(file.find("UID=", top), file.find("UID=50\n", top));
  ASSERT_EQ(store->Load(), 0);
  EXPECT_EQ(Named("Top").Uid(), 50);
  EXPECT_EQ(Named("Top").notes, "kept");
}

TEST_F(AccountStoreTest, GuestIsUnlockedWhenNoOtherAccountIs) {
  ASSERT_EQ(Load(Account("Guest", "UID=1\nLocked=1\n") +
                 Account("Bob", "UID=2\nLocked=1\nEncPass=" + kHexA + "\n")),
            0);
  EXPECT_EQ(store->GuestAccount()->permissions.Byte(P::kLocked), 0);
  EXPECT_TRUE(store->SavePending());

  ASSERT_EQ(Load(Account("Guest", "UID=1\nLocked=1\n")), 0);
  EXPECT_EQ(store->GuestAccount()->permissions.Byte(P::kLocked), 0);
}

// ---------------------------------------------------------------- saving

TEST_F(AccountStoreTest, FileTheServerWroteLoadsAndSavesByteForByte) {
  ASSERT_EQ(Load(Account("Root", "UID=5\nEncPass=" + kHexA +
                                     "\nServerAdmin=1\nRank=1\nDefChan=Lobby/Quiet\n"
                                     "Notes=a%0Ab\nChanAdminCount=2\nChanAdmin0=Lobby\n"
                                     "ChanAdmin1=Games/Chess\nChanAuthCount=1\nChanAuth0=Games\n") +
                 Account("Bob", "EncPass=" + kHexB +
                                    "\nLocked=1\nOwner=Root\nReserved=1\n"
                                    "DuplicatesIPs=2\nSeeChan=0\nEqualizer=7\n")),
            0);
  const std::string first = Saved();
  ASSERT_EQ(store->Load(), 0);
  EXPECT_FALSE(store->SavePending());
  store->ChannelDeleted(999);  // arms the timer without changing anything
  EXPECT_EQ(Saved(), first);
}

TEST_F(AccountStoreTest, SaveWaitsForTheDelayAndSkipsAccountsWithoutPassword) {
  store->SetSaveDelay(5);
  EXPECT_EQ(store->SaveDelay(), 10);
  store->SetSaveDelay(99999);
  EXPECT_EQ(store->SaveDelay(), 3600);
  store->SetSaveDelay(10);
  ASSERT_EQ(Load(Account("Bob", "UID=2\nEncPass=" + kHexA + "\n")), 0);  // guest created
  clock.AdvanceSeconds(9);
  EXPECT_EQ(store->SaveIfDue(), 0);
  EXPECT_TRUE(store->SavePending());
  clock.AdvanceSeconds(1);
  EXPECT_EQ(store->SaveIfDue(), 0);
  EXPECT_FALSE(store->SavePending());
  std::string file = ReadFile(path);
  EXPECT_NE(file.find("[Guest]"), std::string::npos);

  // Changes while a save is pending do not put it off: it comes the delay
  // after the first change.
  store->ChannelDeleted(9);
  clock.AdvanceSeconds(8);
  store->ForgetChannelAuth(3);
  store->ChannelDeleted(9);
  clock.AdvanceSeconds(1);
  EXPECT_EQ(store->SaveIfDue(), 0);
  EXPECT_TRUE(store->SavePending());
  clock.AdvanceSeconds(1);
  EXPECT_EQ(store->SaveIfDue(), 0);
  EXPECT_FALSE(store->SavePending());

  Named("Bob").permissions.ClearDigest();
  store->ChannelDeleted(9);
  EXPECT_EQ(Saved().find("[Bob]"), std::string::npos);
}

TEST_F(AccountStoreTest, FailedSaveIsRetriedAfterTheDelay) {
  store->SetSaveDelay(10);
  ASSERT_EQ(store->Load(), 0);
  fs::create_directory(path);  // a folder where the file must go
  clock.AdvanceSeconds(10);
  EXPECT_EQ(store->SaveIfDue(), -1);
  EXPECT_TRUE(store->SavePending());
  EXPECT_TRUE(fs::is_directory(path));
  clock.AdvanceSeconds(9);
  EXPECT_EQ(store->SaveIfDue(), 0);  // not due yet: nothing tried
  fs::remove(path);
  clock.AdvanceSeconds(1);
  EXPECT_EQ(store->SaveIfDue(), 0);
  EXPECT_FALSE(store->SavePending());
  EXPECT_NE(ReadFile(path).find("[Guest]"), std::string::npos);
}

// ---------------------------------------------------------------- names

TEST_F(AccountStoreTest, CheckLoginName) {
  struct Case {
    std::string name;
    int code;
  };
  for (const Case& c :
       {Case{"Console", 7}, Case{"admin", 7}, Case{"(guest)", 7}, Case{"GUEST", 7},
        Case{"xxxxxxxxBob", 7}, Case{"XxXxXxXx", 7}, Case{"xxxxxxx", 0}, Case{"a,b", 8},
        Case{"a;b", 8}, Case{"a|b", 8}, Case{"100%", 8}, Case{"tab\there", 8},
        Case{std::string(32, 'a') + ",", 0}, Case{"Guest2", 0}, Case{"Bob", 0}}) {
    EXPECT_EQ(AccountStore::CheckLoginName(c.name), c.code) << c.name;
  }
}

// ---------------------------------------------------------------- edits

class AccountEditTest : public AccountStoreTest {
 protected:
  void SetUp() override {
    AccountStoreTest::SetUp();
    ASSERT_EQ(Load(Account("Guest", "UID=1\n") +
                   Account("Boss", "UID=2\nEncPass=" + kHexA + "\nUsersAdd=1\nUsersDelete=1\n") +
                   Account("Ann", "UID=3\nEncPass=" + kHexA + "\nOwner=Boss\nRank=1\n") +
                   Account("Free", "UID=4\nEncPass=" + kHexA + "\n")),
              0);
    ASSERT_EQ(store->Save(), 0);
  }
};

TEST_F(AccountEditTest, AddAccountResults) {
  AccountEditor boss = User(7, "Boss", {P::kUsersAdd});
  AccountEditor plain = User(8, "Free", {});
  AccountRecord rec = Record("Newbie");
  struct Case {
    const AccountEditor* editor;
    AccountRecord record;
    bool withRecord;
    int code;
  };
  AccountRecord noPass = Record("Newbie");
  noPass.permissions.ClearDigest();
  for (const Case& c :
       {Case{nullptr, rec, true, 3}, Case{&plain, rec, true, 9}, Case{&boss, rec, false, 3},
        Case{&boss, Record(""), true, 3}, Case{&boss, Record("guestly"), true, 2},
        Case{&boss, Record("Console"), true, 7}, Case{&boss, Record("a|b"), true, 8},
        Case{&boss, Record("ANN"), true, 2}, Case{&boss, noPass, true, 4}}) {
    EXPECT_EQ(store->AddAccount(c.editor, c.withRecord ? &c.record : nullptr), c.code)
        << c.record.name;
  }
  EXPECT_EQ(store->Count(), 4);
  std::uint16_t uid = 0;
  EXPECT_EQ(store->AddAccount(&boss, &rec, &uid), 0);
  EXPECT_EQ(uid, 5);
  EXPECT_EQ(Named("Newbie").Uid(), 5);
  for (int i = 6; i <= 50; ++i) {
    AccountRecord more = Record("More" + std::to_string(i));
    ASSERT_EQ(store->AddAccount(&boss, &more), 0);
  }
  AccountRecord last = Record("Last");
  EXPECT_EQ(store->AddAccount(&boss, &last), AccountStore::kNoFreeUid);
}

TEST_F(AccountEditTest, AddAccountLimitsWhatANonAdminGrants) {
  tree.admins.insert({7, 1});  // Boss's connection administers Lobby and Lobby/Quiet
  AccountEditor boss = User(7, "Boss", {P::kUsersAdd, P::kChanEditAdmins});
  AccountRecord rec = Record("Newbie");
  rec.owner = "Boss";
  rec.permissions.SetUid(33);
  for (std::size_t at :
       {P::kServerAdmin, P::kRcon, P::kComplaintsRecv, P::kMuteOthersPTT, P::kReserved,
        P::kExtraAdmin1, P::kAdminModeMirror, P::kLocked, std::size_t{91}, std::size_t{103}}) {
    rec.permissions.SetByte(at, 1);
  }
  rec.permissions.SetRankId(2);
  rec.permissions.SetDefChan(3);  // Games: not Boss's
  rec.chanAdmin = {1, 3, 99};
  rec.chanAuth = {2, 1, 3, 0};
  ASSERT_EQ(store->AddAccount(&boss, &rec), 0);
  const UserAccount& added = Named("Newbie");
  const P& p = added.permissions;
  EXPECT_EQ(p.Uid(), 5);
  for (std::size_t at :
       {P::kServerAdmin, P::kRcon, P::kComplaintsRecv, P::kMuteOthersPTT, P::kReserved,
        P::kExtraAdmin1, P::kAdminModeMirror, std::size_t{91}, std::size_t{103}}) {
    EXPECT_EQ(p.Byte(at), 0) << at;
  }
  EXPECT_EQ(p.RankId(), 0);  // no RankAssign
  EXPECT_EQ(p.DefChan(), 0);
  EXPECT_EQ(p.Byte(P::kLocked), 1);
  EXPECT_EQ(added.lockedReason, "Unknown");
  EXPECT_EQ(added.owner, "Boss");
  EXPECT_EQ(added.chanAdmin, (std::vector<std::uint16_t>{1}));
  EXPECT_EQ(added.chanAuth, (std::vector<std::uint16_t>{2}));

  // An administrator passes everything through; bytes 67, 68 and 90 still drop.
  AccountEditor admin = Admin();
  AccountRecord rec2 = rec;
  rec2.name = "Second";
  ASSERT_EQ(store->AddAccount(&admin, &rec2), 0);
  const UserAccount& second = Named("Second");
  EXPECT_EQ(second.permissions.Byte(P::kServerAdmin), 1);
  EXPECT_EQ(second.permissions.Byte(P::kReserved), 1);
  EXPECT_EQ(second.permissions.RankId(), 2);
  EXPECT_EQ(second.permissions.DefChan(), 3);
  EXPECT_EQ(second.permissions.Byte(P::kExtraAdmin1), 0);
  EXPECT_EQ(second.permissions.Byte(P::kAdminModeMirror), 0);
  EXPECT_EQ(second.chanAdmin, (std::vector<std::uint16_t>{1, 3, 99}));
  EXPECT_EQ(second.chanAuth, (std::vector<std::uint16_t>{2, 1, 3}));
}

TEST_F(AccountEditTest, ModifyAccountResults) {
  AccountEditor boss = User(7, "Boss", {P::kUsersAdd});
  AccountEditor other = User(8, "Free", {P::kUsersAdd});
  AccountEditor guestLogin = User(9, "Boss", {P::kUsersAdd});
  guestLogin.guest = true;
  AccountRecord ann = Existing("Ann");
  AccountRecord wrongName = ann;
  wrongName.name = "Anne";
  AccountRecord freeRec = Existing("Free");
  AccountRecord guestRec = Existing("Guest");
  AccountRecord missing = ann;
  missing.permissions.SetUid(40);
  struct Case {
    const AccountEditor* editor;
    const AccountRecord* record;
    int code;
  };
  AccountEditor plain = User(10, "Boss", {});
  for (const Case& c :
       {Case{&plain, &ann, 9}, Case{&boss, &wrongName, 1}, Case{&boss, &missing, 1},
        Case{&other, &ann, 9}, Case{&guestLogin, &ann, 9}, Case{&boss, &freeRec, 9},  // no owner
        Case{&boss, &guestRec, 9}, Case{&boss, nullptr, 3}}) {
    EXPECT_EQ(store->ModifyAccount(c.editor, c.record), c.code) << c.editor->name;
  }
  EXPECT_FALSE(store->SavePending());
  EXPECT_EQ(store->ModifyAccount(&boss, &ann), 0);
  EXPECT_TRUE(store->SavePending());
}

TEST_F(AccountEditTest, ModifyAccountKeepsWhatTheEditorMayNotChange) {
  AccountEditor boss = User(7, "Boss", {P::kUsersAdd});
  Named("Ann").permissions.SetByte(P::kRcon, 1);
  Named("Ann").penalties.RecordOffence(0x7F000002, kOffenceAdminPassword, 1);
  AccountRecord rec = Existing("Ann");
  rec.permissions.ClearDigest();             // keeps the password
  rec.permissions.SetByte(P::kRcon, 0);      // admin-only byte: kept
  rec.permissions.SetByte(P::kUsersBan, 1);  // admin-only byte: kept
  rec.permissions.SetByte(P::kReserved, 1);  // no ReservedAssign: kept
  rec.permissions.SetRankId(2);              // no RankAssign: kept
  rec.permissions.SetByte(P::kSendPages, 0);
  rec.owner = "Free";  // only AdminMode changes owners
  rec.notes = "new notes";
  ASSERT_EQ(store->ModifyAccount(&boss, &rec), 0);
  const UserAccount& ann = Named("Ann");
  EXPECT_EQ(ann.permissions.Digest().ToHex(), kHexA);
  EXPECT_EQ(ann.permissions.Byte(P::kRcon), 1);
  EXPECT_EQ(ann.permissions.Byte(P::kUsersBan), 0);
  EXPECT_EQ(ann.permissions.Byte(P::kReserved), 0);
  EXPECT_EQ(ann.permissions.RankId(), 1);
  EXPECT_EQ(ann.permissions.Byte(P::kSendPages), 0);
  EXPECT_EQ(ann.owner, "Boss");
  EXPECT_EQ(ann.notes, "new notes");
  EXPECT_EQ(ann.penalties.EntryCount(), 1u);

  // In AdminMode: owner only to an existing account with UsersAdd; penalties cleared.
  AccountEditor admin = Admin();
  AccountRecord rec2 = Existing("Ann");
  rec2.owner = "Free";
  rec2.permissions.SetByte(P::kRcon, 0);
  ASSERT_EQ(store->ModifyAccount(&admin, &rec2), 0);
  EXPECT_EQ(Named("Ann").owner, "Boss");
  EXPECT_EQ(Named("Ann").permissions.Byte(P::kRcon), 0);
  EXPECT_EQ(Named("Ann").penalties.EntryCount(), 0u);
  rec2.owner = "boss";
  ASSERT_EQ(store->ModifyAccount(&admin, &rec2), 0);
  EXPECT_EQ(Named("Ann").owner, "Boss");
}

TEST_F(AccountEditTest, GuestEditsAndTheUnlockRule) {
  AccountEditor admin = Admin();
  // Lock every regular account: the guest cannot then be locked.
  for (const char* name : {"Boss", "Ann", "Free"}) {
    AccountRecord rec = Existing(name);
    rec.permissions.SetByte(P::kLocked, 1);
    ASSERT_EQ(store->ModifyAccount(&admin, &rec), 0) << name;
  }
  EXPECT_EQ(Named("Free").lockedReason, "Unknown");
  AccountRecord guest = Existing("Guest");
  guest.permissions.SetByte(P::kLocked, 1);
  EXPECT_EQ(store->ModifyAccount(&admin, &guest), AccountStore::kLastUnlocked);

  // With one account unlocked the guest may be locked, and is cleaned.
  AccountRecord free = Existing("Free");
  free.permissions.SetByte(P::kLocked, 0);
  ASSERT_EQ(store->ModifyAccount(&admin, &free), 0);
  guest.permissions.SetByte(P::kServerAdmin, 1);
  guest.chanAdmin = {1};
  guest.owner = "Boss";
  PasswordDigest digest;
  digest.FromHex(kHexB);
  guest.permissions.SetDigest(digest);
  ASSERT_EQ(store->ModifyAccount(&admin, &guest), 0);
  const UserAccount& g = *store->GuestAccount();
  EXPECT_EQ(g.permissions.Byte(P::kLocked), 1);
  EXPECT_EQ(g.permissions.Byte(P::kServerAdmin), 0);
  EXPECT_FALSE(g.permissions.Digest().IsSet());
  EXPECT_TRUE(g.chanAdmin.empty());
  EXPECT_EQ(g.owner, "");

  // Deleting the last unlocked account unlocks the guest.
  ASSERT_EQ(store->DeleteAccount(&admin, Named("Free").Uid()), 0);
  EXPECT_EQ(store->GuestAccount()->permissions.Byte(P::kLocked), 0);
}

TEST_F(AccountEditTest, ModifyPushesTheBlockToConnectedUsers) {
  sessions.Add(11, "ann");
  sessions.Add(12, "Ann", false, 11);  // phantom of 11
  sessions.Add(13, "Other");
  sessions.Add(14, "Ann", true);  // a guest login under that name
  SessionInfo& admin = sessions.Add(15, "ANN");
  admin.adminMode = true;
  sessions.copies[15].SetByte(P::kServerAdmin, 1);
  Named("Ann").chanAuth = {2};

  AccountEditor root = Admin();
  AccountRecord rec = Existing("Ann");
  rec.permissions.SetRankId(2);
  rec.permissions.SetByte(P::kSendWave, 0);
  rec.chanAuth = {2};
  ASSERT_EQ(store->ModifyAccount(&root, &rec), 0);
  const P& stored = Named("Ann").permissions;
  EXPECT_EQ(sessions.copies[11], stored);
  EXPECT_EQ(sessions.copies[12], stored);
  EXPECT_EQ(sessions.copies[15], stored);
  EXPECT_EQ(sessions.copies[13], P());
  EXPECT_EQ(sessions.copies[14], P());
  EXPECT_EQ(sessions.calls,
            (std::vector<std::string>{"reset-access 11", "admin-channels 11", "auth 11 2",
                                      "refresh 11", "send 11", "rank 11", "admin-off 15",
                                      "told-admin-ended 15", "reset-access 15", "admin-channels 15",
                                      "auth 15 2", "refresh 15", "send 15", "rank 15"}));

  // Locking the account disconnects its users with the reason.
  sessions.calls.clear();
  rec = Existing("Ann");
  rec.permissions.SetByte(P::kLocked, 1);
  rec.lockedReason = "Ask Boss";
  ASSERT_EQ(store->ModifyAccount(&root, &rec), 0);
  EXPECT_NE(std::find(sessions.calls.begin(), sessions.calls.end(), "disconnect 11 34:Ask Boss"),
            sessions.calls.end());
  EXPECT_EQ(std::count_if(sessions.calls.begin(), sessions.calls.end(),
                          [](const std::string& c) { return c.rfind("send", 0) == 0; }),
            0);
}

TEST_F(AccountEditTest, GuestEditReachesGuestLoginsAndTheirPhantoms) {
  sessions.Add(11, "visitor", true);
  sessions.Add(12, "visitor", true, 11);  // phantom of a guest
  sessions.Add(13, "orphan", false, 40);  // phantom whose owner has gone
  sessions.Add(14, "Ann");
  AccountRecord guest = Existing("Guest");
  guest.permissions.SetByte(P::kSendTTS, 0);
  AccountEditor admin = Admin();
  ASSERT_EQ(store->ModifyAccount(&admin, &guest), 0);
  const P& stored = store->GuestAccount()->permissions;
  EXPECT_EQ(sessions.copies[11], stored);
  EXPECT_EQ(sessions.copies[12], stored);
  EXPECT_EQ(sessions.copies[13], stored);
  EXPECT_EQ(sessions.copies[14], P());
  EXPECT_EQ(sessions.calls, std::vector<std::string>{"send 11"});
}

TEST_F(AccountEditTest, ChannelListsOfAModifiedAccount) {
  sessions.Add(11, "Ann").channel = 3;  // Games, ProtMode 2
  sessions.Add(12, "Ann", false, 11).channel = 2;
  tree.admins.insert({7, 3});
  AccountEditor boss = User(7, "Boss", {P::kUsersAdd, P::kChanEditAdmins});
  AccountRecord rec = Existing("Ann");
  rec.chanAdmin = {4, 1};  // Lobby is not Boss's channel
  rec.chanAuth = {3, 4, 2};
  ASSERT_EQ(store->ModifyAccount(&boss, &rec), 0);
  EXPECT_EQ(Named("Ann").chanAdmin, (std::vector<std::uint16_t>{4}));
  EXPECT_EQ(Named("Ann").chanAuth, (std::vector<std::uint16_t>{3}));
  // The user's access is rebuilt before anything leaves a channel; then the
  // phantom in Lobby/Quiet, no longer authorised there, goes.
  EXPECT_EQ(sessions.calls,
            (std::vector<std::string>{"reset-access 11", "admin-channels 11 4,", "auth 11 3",
                                      "refresh 11", "out 12", "send 11"}));

  // Without ChanEditAdmins the lists stay as they are.
  AccountEditor noLists = User(7, "Boss", {P::kUsersAdd});
  rec.chanAdmin = {};
  rec.chanAuth = {};
  ASSERT_EQ(store->ModifyAccount(&noLists, &rec), 0);
  EXPECT_EQ(Named("Ann").chanAdmin, (std::vector<std::uint16_t>{4}));
}

TEST_F(AccountEditTest, DeleteAndReassign) {
  sessions.Add(11, "ann");
  AccountEditor boss = User(7, "Boss", {P::kUsersDelete});
  AccountEditor noRight = User(7, "Boss", {P::kUsersAdd});
  AccountEditor admin = Admin();
  EXPECT_EQ(store->DeleteAccount(&noRight, 3), 9);
  EXPECT_EQ(store->DeleteAccount(&boss, 51), 1);
  EXPECT_EQ(store->DeleteAccount(&boss, 9), 1);
  EXPECT_EQ(store->DeleteAccount(&boss, 1), 6);
  EXPECT_EQ(store->DeleteAccount(&boss, 4), 9);  // Free has no owner

  Named("Free").owner = "Ann";
  EXPECT_EQ(store->ReassignOwner(&boss, 3, 2), 9);
  EXPECT_EQ(store->ReassignOwner(&admin, 9, 2), 1);
  EXPECT_EQ(store->ReassignOwner(&admin, 3, 9), 11);
  EXPECT_EQ(store->ReassignOwner(&admin, 3, 1), 12);
  EXPECT_EQ(store->ReassignOwner(&admin, 3, 4), 12);  // Free lacks UsersAdd
  EXPECT_EQ(store->ReassignOwner(&admin, 3, 2), 0);
  EXPECT_EQ(Named("Free").owner, "Boss");

  EXPECT_EQ(store->DeleteAccount(&boss, 3), 0);
  EXPECT_EQ(store->FindByName("Ann"), nullptr);
  EXPECT_EQ(sessions.calls, std::vector<std::string>{"disconnect 11 44:"});
  EXPECT_TRUE(store->SavePending());
}

// ---------------------------------------------------------------- connections

TEST_F(AccountEditTest, AdminModeGrantAndDrop) {
  sessions.Add(11, "Ann");
  store->ApplyToConnection(11, Named("Ann"));
  const P ann = Named("Ann").permissions;
  EXPECT_EQ(sessions.copies[11], ann);
  store->GrantAdminMode(11);
  const P& copy = sessions.copies[11];
  EXPECT_TRUE(sessions.Find(11)->adminMode);
  for (std::size_t at : {41, 43, 48, 53, 56, 66, 69, 70, 76, 86, 88, 89, 90, 92, 96, 102}) {
    EXPECT_EQ(copy.Byte(at), 1) << at;
  }
  for (std::size_t at : {42, 87, 91, 67}) EXPECT_EQ(copy.Byte(at), 0) << at;
  EXPECT_EQ(copy.DefChan(), 0);
  store->GrantAdminMode(11);  // already in AdminMode: nothing
  EXPECT_EQ(sessions.calls, (std::vector<std::string>{"admin-on 11", "send 11"}));

  store->DropAdminMode(11);
  EXPECT_FALSE(sessions.Find(11)->adminMode);
  EXPECT_EQ(sessions.copies[11], ann);

  // A guest login drops back to the guest's block; so does a deleted account.
  sessions.Add(12, "Visitor", true).adminMode = true;
  store->DropAdminMode(12);
  EXPECT_EQ(sessions.copies[12], store->GuestAccount()->permissions);
  sessions.Add(13, "Gone").adminMode = true;
  sessions.copies[13].SetByte(P::kServerAdmin, 1);
  store->DropAdminMode(13);
  EXPECT_EQ(sessions.copies[13], store->GuestAccount()->permissions);
}

TEST_F(AccountEditTest, ChannelAuthorisations) {
  sessions.Add(11, "Boss");
  sessions.Add(12, "Ann");
  Named("Boss").chanAuth = {3, 2};
  store->RememberChannelAuth(11, 1);  // not ProtMode 2
  store->RememberChannelAuth(12, 2);  // Ann lacks UsersAdd
  EXPECT_FALSE(store->SavePending());
  store->RememberChannelAuth(11, 3);
  EXPECT_EQ(Named("Boss").chanAuth, (std::vector<std::uint16_t>{2, 3}));
  EXPECT_EQ(sessions.calls, std::vector<std::string>{"auth 11 3"});
  EXPECT_TRUE(store->SavePending());
  ASSERT_EQ(store->Save(), 0);

  store->ForgetChannelAuth(4);
  EXPECT_FALSE(store->SavePending());
  Named("Ann").chanAdmin = {2, 1};
  store->ForgetChannelAuth(2);
  EXPECT_EQ(Named("Boss").chanAuth, (std::vector<std::uint16_t>{3}));
  EXPECT_EQ(Named("Ann").chanAdmin, (std::vector<std::uint16_t>{2, 1}));
  store->ChannelDeleted(2);
  EXPECT_EQ(Named("Ann").chanAdmin, (std::vector<std::uint16_t>{1}));
  EXPECT_TRUE(store->SavePending());
}

TEST_F(AccountEditTest, EditorLock) {
  std::string holder;
  EXPECT_EQ(store->AcquireEditor(11, "Boss", holder), 0);
  EXPECT_EQ(store->AcquireEditor(11, "Boss", holder), 0);
  EXPECT_EQ(store->AcquireEditor(12, "Ann", holder), -1);
  EXPECT_EQ(holder, "Boss");
  store->ReleaseEditor(12);
  EXPECT_EQ(store->AcquireEditor(12, "Ann", holder), -1);
  store->Forget(11);
  EXPECT_EQ(store->AcquireEditor(12, "Ann", holder), 0);
}

TEST_F(AccountEditTest, LookupsAndCursor) {
  EXPECT_EQ(store->FindByUid(0), nullptr);
  EXPECT_EQ(store->FindByUid(51), nullptr);
  EXPECT_EQ(store->FindByUid(3)->name, "Ann");
  std::vector<std::string> names;
  int cursor = 0;
  while (UserAccount* account = store->Next(cursor)) names.push_back(account->name);
  EXPECT_EQ(names, (std::vector<std::string>{"Guest", "Boss", "Ann", "Free"}));
  EXPECT_TRUE(logLines.empty());
}

}  // namespace
}  // namespace kestrune
