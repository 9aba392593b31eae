#include "store/server_properties.h"

#include <gtest/gtest.h>
#include <unistd.h>

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

const char* const kDefaultsFile =
    "[SrvProp]\n\n"
    "ChatFilter=0\nChannelOrdering=0\nMotdAlways=0\n"
    "SpamChat=0,1000,2\nSpamComment=0,1000,2\nSpamWave=0,1000,2\nSpamTTS=0,1000,2\n"
    "SpamChannel=0,1000,2\n"
    "InactivityTimeout=0\nInactivityAction=0\nInactivityChannel=\n"
    "StatusServerComment=1\nStatusChanNames=1\nStatusChanComments=1\nStatusUserNames=1\n"
    "StatusUserComments=1\nComment=\nFilterWave=0\nFilterTTS=0\nStatusRequireName=0\n"
    "GuestMaxLogin=0\nGuestAutoKick=0\nGuestAutoBan=0\n\n";

class ServerPropertiesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kestrune_prop_XXXXXX";
    dir = mkdtemp(pattern);
    path = dir / "srv.prop";
  }
  void TearDown() override { fs::remove_all(dir); }
  void Load(const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
    props.LoadProperties(path.string(), Sink());
  }
  StoreLogSink Sink() {
    return [this](std::string_view text) { lines.emplace_back(text); };
  }
  std::string Get(int id) {
    std::string text;
    EXPECT_EQ(props.GetPropertyText(id, text), 0) << id;
    return text;
  }

  fs::path dir;
  fs::path path;
  ServerProperties props;
  std::vector<std::string> lines;
};

TEST_F(ServerPropertiesTest, MissingFileOrSectionGivesDefaultsAndSavesInKeyOrder) {
  props.LoadProperties((dir / "absent.prop").string(), Sink());
  EXPECT_EQ(props.Format(), kDefaultsFile);
  Load("[Other]\nChatFilter=1\n");
  EXPECT_EQ(props.statusUserNames, 1);
  EXPECT_FALSE(props.spamChat.enabled);
  ASSERT_EQ(props.SaveProperties(path.string()), 0);
  EXPECT_EQ(ReadFile(path), kDefaultsFile);
  EXPECT_TRUE(lines.empty());
}

TEST_F(ServerPropertiesTest, LoadKeepsOutOfBoundValuesButRefusesBadSpamText) {
  Load("[SrvProp]\nInactivityTimeout=5000\nSpamChat=1,500\nSpamWave=2,300,4\nComment=" +
       std::string(200, 'c') + "\n");
  EXPECT_EQ(props.inactivityTimeout, 5000);
  EXPECT_EQ(lines, std::vector<std::string>{"Spam, missing parameters."});
  EXPECT_EQ(Get(7), "0,1000,2");
  EXPECT_FALSE(props.spamChat.enabled);
  EXPECT_TRUE(props.spamWave.enabled);
  EXPECT_EQ(Get(9), "2,300,4");
  EXPECT_EQ(props.comment.size(), 127u);
}

TEST_F(ServerPropertiesTest, EditorBounds) {
  struct Case {
    int id;
    const char* text;
    const char* stored;
  };
  for (const Case& c :
       {Case{2, "7", "1"}, Case{3, "-3", "0"}, Case{5, "9", "1"}, Case{11, "5000", "1440"},
        Case{12, "2", "1"}, Case{13, "Lobby/Idle", "Lobby/Idle"}, Case{14, "0", "0"},
        Case{18, "x", "0"}, Case{20, "-1", "1"}, Case{24, " 3abc", "1"}, Case{25, "9", "8"},
        Case{26, "2000", "1440"}, Case{27, "100000", "43200"}, Case{27, "-5", "0"},
        Case{22, "1,250,3", "1,250,3"}}) {
    EXPECT_EQ(props.SetPropertyText(c.id, c.text, Sink()), ServerProperties::kApplied) << c.id;
    EXPECT_EQ(Get(c.id), c.stored) << c.id << " " << c.text;
  }
  ASSERT_EQ(props.SetPropertyText(19, std::string(300, 'x'), Sink()), 0);
  EXPECT_EQ(Get(19).size(), 127u);
}

TEST_F(ServerPropertiesTest, RefusedAndUnknownSetsChangeNothing) {
  ServerProperties before = props;
  // Unknown ids.
  for (int id : {1, 4, 6, 23, 28}) {
    EXPECT_EQ(props.SetPropertyText(id, "1", Sink()), ServerProperties::kUnknownProperty) << id;
    std::string text;
    EXPECT_EQ(props.GetPropertyText(id, text), ServerProperties::kUnknownProperty) << id;
  }
  // A control byte would break the file apart.
  for (int id : {19, 13, 2, 7}) {
    EXPECT_EQ(props.SetPropertyText(id, "1\nGuestAutoBan=5", Sink()),
              ServerProperties::kRefusedValue)
        << id;
  }
  // A spam text the parser refuses is still answered as applied.
  EXPECT_EQ(props.SetPropertyText(8, "3,1,1", Sink()), ServerProperties::kApplied);
  EXPECT_EQ(lines, std::vector<std::string>{"Spam, bad action."});
  EXPECT_EQ(props.Format(), before.Format());
}

TEST_F(ServerPropertiesTest, FileTheServerWroteReadsBackByteForByte) {
  for (auto [id, text] :
       std::vector<std::pair<int, const char*>>{{2, "1"},
                                                {7, "1,500,3"},
                                                {8, "2,100,9"},
                                                {8, "0,1,1"},
                                                {11, "30"},
                                                {12, "1"},
                                                {13, "Lobby/Idle"},
                                                {19, "Welcome = friends, 100% fun"},
                                                {25, "4"},
                                                {27, "60"}}) {
    ASSERT_EQ(props.SetPropertyText(id, text, Sink()), 0);
  }
  ASSERT_EQ(props.SaveProperties(path.string()), 0);
  const std::string written = ReadFile(path);
  ServerProperties loaded;
  loaded.LoadProperties(path.string(), Sink());
  ASSERT_EQ(loaded.SaveProperties(path.string()), 0);
  EXPECT_EQ(ReadFile(path), written);
  // A switched-off rule keeps the interval and times it was written with.
  EXPECT_EQ(SpamSettingText(loaded.spamComment), "0,100,9");
}

TEST_F(ServerPropertiesTest, CopyAndFailedSave) {
  ServerProperties copy;
  copy.Copy(props);
  ASSERT_EQ(copy.SetPropertyText(25, "3", Sink()), 0);
  EXPECT_EQ(props.guestMaxLogin, 0);
  props.Copy(copy);
  EXPECT_EQ(props.guestMaxLogin, 3);

  fs::create_directory(path);  // a folder where the file must go
  EXPECT_EQ(props.SaveProperties(path.string()), -1);
  fs::remove(path);
  ASSERT_EQ(props.SaveProperties(path.string()), 0);
  EXPECT_NE(ReadFile(path).find("GuestMaxLogin=3\n"), std::string::npos);
}

TEST_F(ServerPropertiesTest, InactivityChannelResolvesThroughTheTree) {
  struct Tree : ChannelSource {
    std::uint16_t ChannelIdByPath(std::string_view path) const override {
      return path == "Lobby/Idle" ? 12 : 0;
    }
    std::string ChannelPath(std::uint16_t) const override { return {}; }
    bool ChannelExists(std::uint16_t) const override { return false; }
    int ProtMode(std::uint16_t) const override { return 0; }
    bool IsChannelAdmin(std::uint16_t, std::uint16_t) const override { return false; }
  } tree;
  props.inactivityChannel = "Lobby/Idle";
  props.ResolveInactivityChannel(nullptr);
  EXPECT_EQ(props.inactivityChannelId, 0);
  props.ResolveInactivityChannel(&tree);
  EXPECT_EQ(props.inactivityChannelId, 12);
  props.inactivityChannel = "Gone";
  props.ResolveInactivityChannel(&tree);
  EXPECT_EQ(props.inactivityChannelId, 0);
}

}  // namespace
}  // namespace kestrune
