#include "store/rank_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "unit/support/temp_dir.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

using testing::ReadFile;
using testing::WriteFile;

struct Events : RankEvents {
  struct Announced {
    std::uint16_t requester;
    int action;
    std::uint16_t id;
    std::string abbrev;
  };
  std::vector<Announced> announced;
  std::vector<std::uint16_t> levelChanged;
  void AnnounceRank(std::uint16_t requester, int action, const Rank& rank) override {
    announced.push_back({requester, action, rank.id, rank.abbrev});
  }
  void RankLevelChanged(std::uint16_t rankId) override { levelChanged.push_back(rankId); }
};

class RankStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kestrune_rank_XXXXXX";
    dir = mkdtemp(pattern);
    path = dir / "srv.rank";
    store.SetEvents(&events);
  }
  void TearDown() override { fs::remove_all(dir); }
  void Load(const std::string& text) {
    WriteFile(path, text);
    store.Load();
  }

  fs::path dir;
  fs::path path;
  FakeClock clock{5000};
  RankStore store{clock, (fs::temp_directory_path() / "unused").string()};
  Events events;
};

// A store on the fixture's file.
class RankFileTest : public RankStoreTest {
 protected:
  void SetUp() override {
    RankStoreTest::SetUp();
    fileStore = std::make_unique<RankStore>(clock, path.string());
    fileStore->SetEvents(&events);
  }
  void Load(const std::string& text) {
    WriteFile(path, text);
    fileStore->Load();
  }
  std::unique_ptr<RankStore> fileStore;
};

TEST_F(RankFileTest, LoadSkipsClampsAndCuts) {
  Load(
      "[0]\nLevel=1\nAbbrev=Zero\nDescr=Zero\n"
      "[5]\nLevel=1\nAbbrev=Five\nDescr=Five\n"
      "[2]\nLevel=250\nAbbrev=ABCDEFGHIJKLMNOPQRST\nDescr=Second\n"
      "[02]\nLevel=1\nAbbrev=Dup\nDescr=Dup id\n"
      "[3]\nAbbrev=NoLevel\nDescr=No level\n"
      "[1]\nLevel=-4\nAbbrev=abcdefghijklmnopqrst\nDescr=Case twin\n"
      "[4]\nLevel=70000\nAbbrev=  Four  \nDescr=x\n");
  RankStore& s = *fileStore;
  EXPECT_EQ(s.Count(), 2);
  ASSERT_NE(s.RankById(2), nullptr);
  EXPECT_EQ(s.RankById(2)->level, 100);
  EXPECT_EQ(s.RankById(2)->abbrev, "ABCDEFGHIJKLMNO");
  // Equal to rank 2's abbreviation once both are cut, ignoring case.
  EXPECT_EQ(s.RankById(1), nullptr);
  EXPECT_EQ(s.RankById(3), nullptr);  // no Level
  ASSERT_NE(s.RankById(4), nullptr);
  EXPECT_EQ(s.RankById(4)->level, 100);  // 70000 as 16 bits is 4464
  EXPECT_EQ(s.RankById(4)->abbrev, "Four");
  EXPECT_EQ(s.FindByAbbrev("abcdefghijklmno"), s.RankById(2));
  EXPECT_EQ(s.FindByDescr("X"), s.RankById(4));
  EXPECT_FALSE(s.SavePending());
}

TEST_F(RankFileTest, NegativeLevelReadsAsZeroAndDuplicateSectionKeepsFirst) {
  Load(
      "[1]\nLevel=-4\nAbbrev=A\nDescr=B\n[1]\nLevel=9\nAbbrev=C\nDescr=D\n"
      "[2]\nLevel=1\nAbbrev=a\nDescr=Other\n");
  ASSERT_NE(fileStore->RankById(1), nullptr);
  EXPECT_EQ(fileStore->RankById(1)->level, 0);
  EXPECT_EQ(fileStore->RankById(1)->abbrev, "A");
  EXPECT_EQ(fileStore->Count(), 1);
}

// A cut that ends in blanks would give a text the file cannot hold: after a
// save and a restart the two ranks below would read as the same abbreviation
// (and description), and the second would be lost.
TEST_F(RankFileTest, CutTextsAreTrimmedSoTheyReadBackAfterASave) {
  const std::string descr = std::string(62, 'd');
  Load("[1]\nLevel=1\nAbbrev=ABCDEFGHIJKLMN  OPQ\nDescr=" + descr + " tail\n"
       "[2]\nLevel=2\nAbbrev=ABCDEFGHIJKLMN\nDescr=" + descr + "\n");
  ASSERT_NE(fileStore->RankById(1), nullptr);
  EXPECT_EQ(fileStore->RankById(1)->abbrev, "ABCDEFGHIJKLMN");
  EXPECT_EQ(fileStore->RankById(1)->descr, descr);
  // Once cut and trimmed, the second rank's texts are taken.
  EXPECT_EQ(fileStore->RankById(2), nullptr);

  // What was kept survives a save and a load unchanged.
  ASSERT_EQ(fileStore->AcquireRankEditor(7, "ed"), RankStore::kDone);
  ASSERT_EQ(fileStore->ModifyRank(7, 1, 1, "ABCDEFGHIJKLMN", descr), RankStore::kDone);
  ASSERT_EQ(fileStore->Save(), 0);
  RankStore again(clock, path.string());
  again.Load();
  ASSERT_NE(again.RankById(1), nullptr);
  EXPECT_EQ(again.RankById(1)->abbrev, "ABCDEFGHIJKLMN");
  EXPECT_EQ(again.RankById(1)->descr, descr);
  EXPECT_EQ(again.Count(), 1);
}

TEST_F(RankStoreTest, EditorLock) {
  EXPECT_EQ(store.AcquireRankEditor(3, "ann"), 0);
  EXPECT_EQ(store.RankEditorHolder(), "ann");
  EXPECT_EQ(store.AcquireRankEditor(3, "ann"), RankStore::kNotEditor);
  EXPECT_EQ(store.AcquireRankEditor(4, "bob"), RankStore::kNotEditor);
  store.ReleaseRankEditor(4);  // not the holder: nothing changes
  EXPECT_EQ(store.RankEditorHolder(), "ann");
  EXPECT_EQ(store.AddRank(4, 1, "A", "B"), RankStore::kNotEditor);
  store.Forget(3);
  EXPECT_EQ(store.RankEditorHolder(), "");
  EXPECT_EQ(store.AddRank(3, 1, "A", "B"), RankStore::kNotEditor);
  EXPECT_EQ(store.AcquireRankEditor(4, "bob"), 0);
}

TEST_F(RankStoreTest, AddRankResultsAndIdCursor) {
  ASSERT_EQ(store.AcquireRankEditor(3, "ann"), 0);
  std::uint16_t id = 0;
  EXPECT_EQ(store.AddRank(3, 10, "", "x"), RankStore::kEmptyText);
  EXPECT_EQ(store.AddRank(3, 10, "x", ""), RankStore::kEmptyText);
  // A line break would split the file and could smuggle in a rank of its own.
  EXPECT_EQ(store.AddRank(3, 10, "x", "y\n[4]\nLevel=100"), RankStore::kEmptyText);
  EXPECT_EQ(store.AddRank(3, 10, std::string("x\0", 2), "y"), RankStore::kEmptyText);
  EXPECT_EQ(store.AddRank(3, 10, "Rec", "Recruit", &id), 0);
  EXPECT_EQ(id, 1);
  EXPECT_EQ(store.AddRank(3, 20, "rec", "Other"), RankStore::kAbbrevUsed);
  EXPECT_EQ(store.AddRank(3, 20, "Other", "RECRUIT"), RankStore::kDescrUsed);
  EXPECT_EQ(store.AddRank(3, 500, "Vet", "Veteran", &id), 0);  // stored as supplied
  EXPECT_EQ(id, 2);
  EXPECT_EQ(store.RankById(2)->level, 500);
  ASSERT_EQ(store.DeleteRank(3, 1), 0);
  // The cursor moves on from 2: 3 and 4 are taken before 1 again.
  EXPECT_EQ(store.AddRank(3, 1, "C", "C", &id), 0);
  EXPECT_EQ(id, 3);
  EXPECT_EQ(store.AddRank(3, 1, "D", "D", &id), 0);
  EXPECT_EQ(id, 4);
  EXPECT_EQ(store.AddRank(3, 1, "E", "E", &id), 0);
  EXPECT_EQ(id, 1);
  EXPECT_EQ(store.AddRank(3, 1, "F", "F"), RankStore::kNoFreeId);
  EXPECT_EQ(store.AddRank(3, 1, "C", "C"), RankStore::kNoFreeId);  // full comes first
  ASSERT_EQ(events.announced.size(), 6u);
  EXPECT_EQ(events.announced[0].action, RankStore::kActionAdd);
  EXPECT_EQ(events.announced[0].requester, 3);
  EXPECT_EQ(events.announced[2].action, RankStore::kActionDelete);
  EXPECT_EQ(events.announced[2].abbrev, "Rec");
  EXPECT_TRUE(store.SavePending());
}

TEST_F(RankStoreTest, ModifyAndDeleteResults) {
  ASSERT_EQ(store.AcquireRankEditor(3, "ann"), 0);
  ASSERT_EQ(store.AddRank(3, 10, "A", "Alpha"), 0);
  ASSERT_EQ(store.AddRank(3, 20, "B", "Beta"), 0);
  events.announced.clear();
  EXPECT_EQ(store.ModifyRank(4, 1, 5, "A", "Alpha"), RankStore::kNotEditor);
  EXPECT_EQ(store.ModifyRank(3, 1, 5, "", "Alpha"), RankStore::kEmptyText);
  EXPECT_EQ(store.ModifyRank(3, 1, 5, "A\tB", "Alpha"), RankStore::kEmptyText);
  EXPECT_EQ(store.ModifyRank(3, 3, 5, "A", "Alpha"), RankStore::kNoSuchRank);
  EXPECT_EQ(store.ModifyRank(3, 0, 5, "A", "Alpha"), RankStore::kNoSuchRank);
  EXPECT_EQ(store.ModifyRank(3, 1, 5, "b", "Alpha"), RankStore::kAbbrevUsed);
  EXPECT_EQ(store.ModifyRank(3, 1, 5, "A", "beta"), RankStore::kDescrUsed);
  EXPECT_EQ(store.ModifyRank(3, 1, 55, "a", "ALPHA"), 0);  // its own texts may stay
  EXPECT_EQ(store.RankById(1)->level, 55);
  EXPECT_EQ(store.RankById(1)->abbrev, "a");
  EXPECT_EQ(events.levelChanged, std::vector<std::uint16_t>{1});
  EXPECT_EQ(store.DeleteRank(4, 2), RankStore::kNotEditor);
  EXPECT_EQ(store.DeleteRank(3, 5), RankStore::kNoSuchRank);
  EXPECT_EQ(store.DeleteRank(3, 2), 0);
  EXPECT_EQ(store.DeleteRank(3, 2), RankStore::kNoSuchRank);
  ASSERT_EQ(events.announced.size(), 2u);
  EXPECT_EQ(events.announced[0].action, RankStore::kActionChange);
  EXPECT_EQ(events.announced[1].action, RankStore::kActionDelete);
}

TEST_F(RankStoreTest, RankAllowsVoice) {
  ASSERT_EQ(store.AcquireRankEditor(3, "ann"), 0);
  ASSERT_EQ(store.AddRank(3, 40, "A", "Alpha"), 0);
  struct Case {
    int rankId, voiceMode, rankLevel;
    bool allowed;
  };
  for (const Case& c : {Case{0, 0, 50, true}, Case{1, 1, 0, false}, Case{2, 1, 10, false},
                        Case{1, 1, 40, true}, Case{1, 1, 41, false}, Case{1, 1, 39, true}}) {
    EXPECT_EQ(store.RankAllowsVoice(c.rankId, c.voiceMode, c.rankLevel), c.allowed)
        << c.rankId << " " << c.voiceMode << " " << c.rankLevel;
  }
}

TEST_F(RankFileTest, ChangesReachTheFileAfterAnHourAndReadBackTheSame) {
  RankStore& s = *fileStore;
  s.Load();  // no file: no ranks
  ASSERT_EQ(s.AcquireRankEditor(3, "ann"), 0);
  ASSERT_EQ(s.AddRank(3, 10, "Rec", "Recruit"), 0);
  clock.AdvanceSeconds(3000);
  // A later change does not put off the save the first one started.
  ASSERT_EQ(s.AddRank(3, 70, "Vet", "Veteran soldier"), 0);
  clock.AdvanceSeconds(599);
  EXPECT_EQ(s.SaveIfDue(), 0);
  EXPECT_FALSE(fs::exists(path));
  clock.AdvanceSeconds(1);
  EXPECT_EQ(s.SaveIfDue(), 0);
  const std::string expected =
      "[1]\n\nLevel=10\nAbbrev=Rec\nDescr=Recruit\n\n"
      "[2]\n\nLevel=70\nAbbrev=Vet\nDescr=Veteran soldier\n\n";
  EXPECT_EQ(ReadFile(path), expected);
  EXPECT_FALSE(s.SavePending());

  RankStore again(clock, path.string());
  again.Load();
  ASSERT_EQ(again.AcquireRankEditor(1, "x"), 0);
  ASSERT_EQ(again.ModifyRank(1, 1, 10, "Rec", "Recruit"), 0);  // arms the timer
  ASSERT_EQ(again.Save(), 0);
  EXPECT_EQ(ReadFile(path), expected);
}

TEST_F(RankFileTest, FailedSaveKeepsTheChangePending) {
  RankStore& s = *fileStore;
  ASSERT_EQ(s.AcquireRankEditor(3, "ann"), 0);
  ASSERT_EQ(s.AddRank(3, 10, "Rec", "Recruit"), 0);
  fs::create_directory(path);  // a folder where the file must go
  EXPECT_EQ(s.Save(), -1);
  EXPECT_TRUE(s.SavePending());
  fs::remove(path);
  EXPECT_EQ(s.Save(), 0);  // shutdown's save
  EXPECT_EQ(ReadFile(path), "[1]\n\nLevel=10\nAbbrev=Rec\nDescr=Recruit\n\n");
}

}  // namespace
}  // namespace kestrune
