#include "channels/channel_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "config/log.h"
#include "net_test_peer.h"
#include "store/account_store.h"
#include "support/temp_dir.h"
#include "util/clock.h"

namespace kestrune {
namespace {

class ChannelTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log.SetDaemon(true);
    log.SetForwarder([this](const std::string& text) { lines.push_back(text); });
    tree.SetFile(dir.File("t.chn"));
  }

  int Load(const std::string& text) {
    dir.Write("t.chn", text);
    return tree.LoadChannels();
  }
  bool Logged(const std::string& line) const {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  const Channel& Path(const std::string& path) {
    const Channel* channel = tree.FindChannelByPath(path);
    EXPECT_NE(channel, nullptr) << path;
    static const Channel none;
    return channel != nullptr ? *channel : none;
  }

  FakeClock clock{1000};
  Log log{clock};
  std::vector<std::string> lines;
  testing::TempDir dir;
  ConnectionTable table{clock, log};
  ChannelTree tree{log, table};
};

TEST_F(ChannelTreeTest, SectionsBecomeATreeOfParentsBeforeChildren) {
  ASSERT_EQ(Load("[A]\n[A/B]\n[A/B/C]\n[D]\n"), 0);
  ASSERT_EQ(tree.Count(), 4u);
  const Channel& a = Path("A");
  const Channel& b = Path("a/b");  // any letter case
  EXPECT_EQ(a.parent, 0);
  EXPECT_EQ(b.parent, a.id);
  EXPECT_EQ(Path("A/B/C").parent, b.id);
  EXPECT_EQ(Path("A/B/C").name, "C");
  EXPECT_TRUE(tree.IsDescendant(a, Path("A/B/C").id));
  EXPECT_FALSE(tree.IsDescendant(Path("D"), Path("A/B/C").id));
  EXPECT_EQ(tree.TopChannel(Path("A/B/C")), &a);
  EXPECT_EQ(tree.LevelsUpFrom(Path("A/B/C").id), 3);
  // Channel ids are taken from the connections' allocator.
  std::uint16_t next = 0;
  ASSERT_EQ(table.AllocateId(next), 0);
  for (std::size_t i = 0; i < tree.Count(); ++i) EXPECT_NE(tree.At(i).id, next);
}

TEST_F(ChannelTreeTest, ChildBeforeItsParentIsDroppedWithAWarning) {
  ASSERT_EQ(Load("[A/B]\n[A]\n"), 0);
  ASSERT_EQ(tree.Count(), 1u);
  EXPECT_EQ(tree.At(0).path, "A");
  EXPECT_TRUE(Logged("WARNING: Unable to find parent channel for topic [A/B]. Ignoreing it."));
}

// Topics that differ only in blanks or letter case name the same channel. A
// second one would share the first one's path, and after the next save the
// two sections would merge and the second definition would be lost.
TEST_F(ChannelTreeTest, ASecondTopicForTheSamePathIsDroppedWithAWarning) {
  ASSERT_EQ(Load("[A]\n[A/B]\nComment=first\n[a / b]\nComment=second\n[ a ]\n[A/C]\n"), 0);
  ASSERT_EQ(tree.Count(), 3u);
  EXPECT_EQ(Path("A/B").comment, "first");
  EXPECT_NE(tree.FindChannelByPath("A/C"), nullptr);
  EXPECT_TRUE(Logged("WARNING: Duplicate channel topic [a / b]. Ignoring it."));
  EXPECT_TRUE(Logged("WARNING: Duplicate channel topic [a]. Ignoring it."));

  ASSERT_EQ(tree.SaveChannels(), 0);
  ChannelTree again{log, table};
  again.SetFile(dir.File("t.chn"));
  ASSERT_EQ(again.LoadChannels(), 0);
  EXPECT_EQ(again.Count(), 3u);
}

TEST_F(ChannelTreeTest, BrokenDefinitionsStopTheLoadWithTheirCodes) {
  const std::string name31(31, 'n');
  const std::string name32(32, 'n');
  struct Case {
    std::string file;
    int code;
    std::string line;
  } cases[] = {
      {"[Lobby]\n", kChannelNameRefused,
       "ERROR: Channel name 'Lobby' is a reserved word or has illegal characters."},
      {"[A]\n[A/Next]\n", kChannelNameRefused,
       "ERROR: Channel name 'Next' is a reserved word or has illegal characters."},
      {"[a,b]\n", kChannelNameRefused,
       "ERROR: Channel name 'a,b' is a reserved word or has illegal characters."},
      {"[a=b]\n", kChannelNameRefused,
       "ERROR: Channel name 'a=b' is a reserved word or has illegal characters."},
      {"[" + name32 + "]\n", kChannelNameTooLong,
       "ERROR: Channel name for topic [" + name32 + "] is too long. 31 characters max."},
      {"[ ]\nComment=x\n", kChannelTopicEmpty, ""},
      {"[A\\x/B]\n", 0, ""},  // a backslash before the last '/' is allowed
      {"[A/B\\x]\n", kChannelTopicUnsplit,
       "ERROR: Unable to strip channel name from topic [A/B\\x], code=-3."},
      {"[" + name31 + "]\n", 0, ""},
  };
  for (const Case& c : cases) {
    ChannelTree fresh(log, table);
    fresh.SetFile(dir.File("t.chn"));
    dir.Write("t.chn", c.file);
    lines.clear();
    EXPECT_EQ(fresh.LoadChannels(), c.code) << c.file;
    if (!c.line.empty()) {
      EXPECT_TRUE(Logged(c.line)) << c.file;
    }
  }
  dir.Write("t.chn", "[ ]\n");
  lines.clear();
  EXPECT_EQ(tree.LoadChannels(), kChannelTopicEmpty);
  EXPECT_TRUE(Logged("ERROR: A channel topic was empty in the file '" + dir.File("t.chn") + "'."));
}

TEST_F(ChannelTreeTest, ValuesAreNormalisedOnReading) {
  ASSERT_EQ(Load("[A]\nMaxClients=20\nVoiceMode=-3\nTimeLimit=30000\nRankLevel=400\n"
                 "AllowPaging=7\nRestrictToUsr=5\nProtMode=9\n"
                 "[B]\nTimeLimit=40000\nPhonetic=  bee  \nEncPassChan=\n"),
            0);
  const Channel& a = Path("A");
  EXPECT_EQ(a.Property(kMaxClients), 8);
  EXPECT_EQ(a.Property(kVoiceMode), 0);
  EXPECT_EQ(a.Property(kTimeLimit), 20864);
  EXPECT_EQ(a.Property(kRankLevel), 100);
  EXPECT_EQ(a.Property(kAllowPaging), 1);
  EXPECT_EQ(a.Property(kRestrictToUsr), 1);
  EXPECT_EQ(a.ProtMode(), 2);
  EXPECT_EQ(a.Property(kAllowGuestToJoin), 1);  // defaults
  EXPECT_EQ(a.Property(kPhantomMode), 1);
  EXPECT_EQ(a.Property(kExemptFromInactivity), 0);
  const Channel& b = Path("B");
  EXPECT_EQ(b.Property(kTimeLimit), 0);  // 40000 is negative as a 16-bit number
  EXPECT_EQ(b.phonetic, "bee");
  EXPECT_FALSE(b.password.IsSet());
}

TEST_F(ChannelTreeTest, PlainPasswordsAreReplacedByDigestsAtOnce) {
  ASSERT_EQ(Load("[A]\nPassChan=secret\n[B]\nEncPassChan=\nComment=open\n"), 0);
  PasswordDigest expected;
  expected.FromPlain("secret");
  EXPECT_TRUE(Path("A").password.Equals(expected));
  EXPECT_EQ(Path("A").ProtMode(), 1);
  const std::string file = dir.Read("t.chn");
  EXPECT_EQ(file.find("PassChan=secret"), std::string::npos) << file;
  EXPECT_NE(file.find("[A]\n\nPhonetic=\nEncPassChan=" + expected.ToHex() + "\nComment=\n"),
            std::string::npos)
      << file;
  EXPECT_NE(file.find("ProtMode=1\n"), std::string::npos) << file;
}

TEST_F(ChannelTreeTest, FilesWithDigestsAreNotRewrittenAtLoad) {
  const std::string text = "[A]\nEncPassChan=\n";
  ASSERT_EQ(Load(text), 0);
  EXPECT_EQ(dir.Read("t.chn"), text);
}

TEST_F(ChannelTreeTest, SaveWritesRecomputedPathsAndReloadsToTheSameTree) {
  ASSERT_EQ(
      Load("[A]\nEncPassChan=\nComment=Top, of it all\nBanItem0=10.0.0.0/8,Bob,Al,spam%2C flood\n"
           "[A / B]\nEncPassChan=\nVoiceMode=2\nRankLevel=50\n[A / B/C]\nEncPassChan=\n"),
      0);
  ASSERT_EQ(tree.SaveChannels(), 0);
  const std::string file = dir.Read("t.chn");
  EXPECT_NE(file.find("[A/B]\n\nPhonetic=\nEncPassChan=\nComment=\nAllowRecording=1\n"
                      "AllowCrossChannelXmit=1\nAllowPaging=1\nAllowWaveBinds=1\nAllowTtsBinds=1\n"
                      "AllowU2U=1\nRestrictToUsr=0\nDisableSoundEvts=0\nVoiceMode=2\nTimeLimit=0\n"
                      "PhantomMode=1\nMaxClients=0\nAllowGuestToJoin=1\nExemptFromInactivity=0\n"
                      "ProtMode=0\nRankLevel=50\n\n"),
            std::string::npos)
      << file;
  EXPECT_NE(file.find("[A/B/C]\n"), std::string::npos) << file;
  EXPECT_NE(file.find("BanItem0=10.0.0.0/8,Bob,Al,spam%2C flood\n"), std::string::npos) << file;

  ChannelTree again(log, table);
  again.SetFile(dir.File("t.chn"));
  ASSERT_EQ(again.LoadChannels(), 0);
  ASSERT_EQ(again.Count(), tree.Count());
  for (std::size_t i = 0; i < tree.Count(); ++i) {
    EXPECT_EQ(again.At(i).path, tree.At(i).path);
    EXPECT_EQ(again.At(i).comment, tree.At(i).comment);
    EXPECT_EQ(again.At(i).properties, tree.At(i).properties);
  }
  ASSERT_EQ(again.At(0).bans.Size(), 1u);
  EXPECT_EQ(again.At(0).bans.At(0).reason, "spam, flood");
  EXPECT_EQ(again.SaveChannels(), 0);
  EXPECT_EQ(dir.Read("t.chn"), file);
}

TEST_F(ChannelTreeTest, AFailedSaveIsLoggedAndKeepsTheOldFile) {
  ASSERT_EQ(Load("[A]\nEncPassChan=\n"), 0);
  std::filesystem::create_directory(dir.File("t.chn.tmp"));
  EXPECT_EQ(tree.SaveChannels(), -1);
  EXPECT_TRUE(Logged("ERROR: Failed to write channel file '" + dir.File("t.chn") + "'."));
  EXPECT_EQ(dir.Read("t.chn"), "[A]\nEncPassChan=\n");
}

TEST_F(ChannelTreeTest, TopicsSplitAtTheLastSlash) {
  struct Case {
    std::string topic;
    int result;
    std::string parent;
    std::string name;
  } cases[] = {
      {"A / B", 0, "A", "B"},
      {"A/B/C", 0, "A/B", "C"},
      {"Solo", 0, "", "Solo"},
      {"/lead", 0, "", "/lead"},
      {"", -2, "", ""},
      {"A/b\\c", -3, "", ""},
      {std::string(2047, 'x'), -1, "", ""},
  };
  for (const Case& c : cases) {
    std::string parent = "?";
    std::string name = "?";
    EXPECT_EQ(SplitTopic(c.topic, parent, name), c.result) << c.topic;
    if (c.result == 0) {
      EXPECT_EQ(parent, c.parent) << c.topic;
      EXPECT_EQ(name, c.name) << c.topic;
    }
  }
  const std::string names[] = {"lobby", "PARENT", "Child", "a\\b", "a\"b", "a[b", "a]b"};
  for (const std::string& n : names) EXPECT_NE(CheckChannelName(&n), 0) << n;
  const std::string empty;
  EXPECT_EQ(CheckChannelName(&empty), kChannelNameEmpty);
  EXPECT_EQ(CheckChannelName(nullptr), kChannelNameNone);
}

TEST_F(ChannelTreeTest, SortPutsParentsFirstAndKeepsOrphansAtTheEnd) {
  ASSERT_EQ(Load("[A]\n[B]\n[A/X]\n[B/Y]\n[A/X/Z]\n[A/W]\n"), 0);
  // Orphan one channel by hand: its parent id names nothing.
  tree.At(3).parent = 1000;
  tree.ServerChannelSort();
  std::vector<std::string> order;
  for (std::size_t i = 0; i < tree.Count(); ++i) order.push_back(tree.At(i).path);
  EXPECT_EQ(order, (std::vector<std::string>{"A", "B", "A/X", "A/W", "A/X/Z", "B/Y"}));
  EXPECT_TRUE(Logged("ERROR: ServerChannelSort detected left over channel 'B/Y'."));
}

TEST_F(ChannelTreeTest, AChannelMovedBeforeASiblingKeepsThatOrderThroughSortAndSave) {
  ASSERT_EQ(Load("[A]\n[A/X]\n[A/Y]\n[A/Z]\n[A/Z/Q]\n[B]\n"), 0);
  EXPECT_TRUE(tree.MoveChannelBefore(Path("A/Z").id, Path("A/X").id));
  EXPECT_TRUE(tree.MoveChannelBefore(Path("A").id, Path("A").id));  // stays
  EXPECT_FALSE(tree.MoveChannelBefore(Path("A/Y").id, 999));
  tree.ServerChannelSort();
  auto order = [this] {
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < tree.Count(); ++i) paths.push_back(tree.At(i).path);
    return paths;
  };
  const std::vector<std::string> expected{"A", "B", "A/Z", "A/X", "A/Y", "A/Z/Q"};
  EXPECT_EQ(order(), expected);
  ASSERT_EQ(tree.SaveChannels(), 0);
  ChannelTree reloaded{log, table};
  reloaded.SetFile(dir.File("t.chn"));
  ASSERT_EQ(reloaded.LoadChannels(), 0);
  std::vector<std::string> paths;
  for (std::size_t i = 0; i < reloaded.Count(); ++i) paths.push_back(reloaded.At(i).path);
  EXPECT_EQ(paths, expected);
}

TEST_F(ChannelTreeTest, CreateRulesCheckWidthDepthNamesAndIds) {
  ASSERT_EQ(Load("[A]\n[A/B]\n"), 0);
  const std::uint16_t a = Path("A").id;
  const std::uint16_t b = Path("A/B").id;
  ChannelLimits limits;
  limits.depth = 2;
  limits.width = 1;
  tree.SetLimits(limits);
  EXPECT_EQ(tree.CheckPlacement(0), 0);
  EXPECT_EQ(tree.CheckPlacement(a), kRefuseTooWide);
  EXPECT_EQ(tree.CheckPlacement(b), kRefuseTooDeep);
  limits.width = 0;
  limits.depth = 3;
  tree.SetLimits(limits);
  EXPECT_EQ(tree.CheckPlacement(b), 0);

  struct Case {
    std::uint16_t parent;
    std::string name;
    std::uint16_t self;
    std::uint16_t code;
    std::uint16_t detail;
  } cases[] = {
      {999, "X", 0, kRefuseNoChannel, 0},
      {a, "", 0, kRefuseBadName, 0},
      {a, "a/b", 0, kRefuseBadName, 1},
      {a, std::string(32, 'x'), 0, kRefuseBadName, 1},
      {a, "b", 0, kRefuseChannelExists, 0},
      {a, "B", b, 0, 0},  // renaming itself
      {a, "C", 0, 0, 0},
  };
  for (const Case& c : cases) {
    ChannelRefusal refusal;
    EXPECT_EQ(tree.CheckNaming(c.parent, c.name, c.self, refusal), c.code == 0) << c.name;
    EXPECT_EQ(refusal.code, c.code) << c.name;
    EXPECT_EQ(refusal.detail, c.detail) << c.name;
  }

  auto fresh = std::make_unique<Channel>();
  fresh->name = "C";
  fresh->parent = b;
  Channel* added = nullptr;
  ChannelRefusal refusal;
  ASSERT_TRUE(tree.AddChannel(std::move(fresh), added, refusal));
  EXPECT_EQ(added->path, "A/B/C");
  EXPECT_NE(dir.Read("t.chn").find("[A/B/C]\n"), std::string::npos);
}

TEST_F(ChannelTreeTest, ACreateLeavesNineIdsForPeople) {
  // 1013 channels leave ten ids: one more channel may take one of them.
  std::string text;
  for (int i = 0; i < 1013; ++i) text += "[c" + std::to_string(i) + "]\n";
  ASSERT_EQ(Load(text), 0);
  ASSERT_EQ(tree.FreeIdCount(), ChannelTree::kIdsKeptForPeople + 1);
  auto add = [this](const std::string& name, ChannelRefusal& refusal) {
    auto channel = std::make_unique<Channel>();
    channel->name = name;
    Channel* added = nullptr;
    return tree.AddChannel(std::move(channel), added, refusal);
  };
  ChannelRefusal refusal;
  ASSERT_TRUE(add("last", refusal));
  EXPECT_FALSE(add("more", refusal));
  EXPECT_EQ(refusal.code, kRefuseNoFreeId);
  EXPECT_EQ(tree.FreeIdCount(), ChannelTree::kIdsKeptForPeople);
}

TEST_F(ChannelTreeTest, DeleteGoesDeepestFirstAndTellsTheAccounts) {
  RankStore ranks(clock, dir.File("t.rank"));
  dir.Write("t.usr", "[Ann]\nUID=1\nEncPass=" + std::string(64, 'A') +
                         "\nDefChan=A/B\nChanAdmin0=A/B/C\nChanAdminCount=1\n");
  AccountStore accounts(clock, dir.File("t.usr"), ranks);
  ASSERT_EQ(Load("[A]\n[A/B]\n[A/B/C]\n[A/D]\n[E]\n"), 0);
  accounts.SetChannels(&tree);
  ASSERT_EQ(accounts.Load(), 0);
  tree.SetAccounts(&accounts);
  ASSERT_NE(accounts.FindByName("Ann")->permissions.DefChan(), 0);
  ASSERT_EQ(accounts.FindByName("Ann")->chanAdmin.size(), 1u);

  std::vector<std::string> order;
  ASSERT_TRUE(tree.DeleteChannel(Path("A").id, [&](Channel& c) { order.push_back(c.path); }));
  EXPECT_EQ(order, (std::vector<std::string>{"A/B/C", "A/B", "A/D", "A"}));
  EXPECT_TRUE(Logged("CHANNEL: Deleteing [A/B/C]."));
  ASSERT_EQ(tree.Count(), 1u);
  EXPECT_EQ(accounts.FindByName("Ann")->permissions.DefChan(), 0);
  EXPECT_TRUE(accounts.FindByName("Ann")->chanAdmin.empty());
  EXPECT_TRUE(accounts.SavePending());
  EXPECT_EQ(dir.Read("t.chn").find("[A"), std::string::npos);
  EXPECT_FALSE(tree.DeleteChannel(999, nullptr));
}

TEST_F(ChannelTreeTest, AncestorWalksStopAfterSixtyFourSteps) {
  std::string text;
  std::string path = "c0";
  text += "[" + path + "]\n";
  for (int i = 1; i < 70; ++i) {
    path += "/c" + std::to_string(i);
    text += "[" + path + "]\n";
  }
  ASSERT_EQ(Load(text), 0);
  const Channel& deep = tree.At(tree.Count() - 1);
  const Channel& shallow = tree.At(60);
  EXPECT_EQ(tree.TopChannel(deep), nullptr);
  EXPECT_EQ(tree.TopChannel(shallow), &tree.At(0));
  tree.At(0).admins.push_back(5);
  EXPECT_TRUE(tree.IsChannelAdmin(5, shallow.id));
  EXPECT_FALSE(tree.IsChannelAdmin(5, deep.id));
}

}  // namespace
}  // namespace kestrune
