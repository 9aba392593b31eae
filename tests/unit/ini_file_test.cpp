#include "store/ini_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "unit/support/temp_dir.h"

namespace kestrune {
namespace {

using testing::TempDir;

IniFile Parsed(const std::string& text, bool keepDuplicates = false) {
  IniFile ini;
  ini.Parse(text, keepDuplicates);
  return ini;
}

TEST(IniFileLoad, LineRules) {
  IniFile ini = Parsed(
      "Before=dropped\r\n"
      "[Server]\r\n"
      "  # note\r\n"
      "; not a comment=kept\r\n"
      "Key=Value # note\r\n"
      "Key = Value = More\r\n"
      "no equals sign\r\n"
      "=x\r\n"
      "[ Users ]\n"
      "A=1\n"
      "[]\n"
      "B=2\n");
  ASSERT_EQ(ini.SectionCount(), 3);
  EXPECT_EQ(ini.SectionNameAt(0), "Server");
  EXPECT_EQ(ini.SectionNameAt(1), " Users ");
  EXPECT_EQ(ini.SectionNameAt(2), "");
  EXPECT_EQ(ini.SectionNameAt(3), "");
  EXPECT_EQ(ini.SectionAt(-1), nullptr);

  const IniSection* server = ini.SectionAt(0);
  ASSERT_EQ(server->EntryCount(), 4);
  EXPECT_EQ(server->EntryAt(0)->key, "; not a comment");
  EXPECT_EQ(server->EntryAt(1)->value, "Value # note");
  EXPECT_EQ(server->EntryAt(2)->key, "Key");
  EXPECT_EQ(server->EntryAt(2)->value, "Value = More");
  EXPECT_EQ(server->EntryAt(3)->key, "");
  EXPECT_EQ(server->EntryAt(3)->value, "x");
  EXPECT_EQ(server->EntryAt(4), nullptr);
  // First match wins.
  EXPECT_EQ(ini.GetString("server", "KEY"), "Value # note");
  EXPECT_EQ(ini.GetString(" users ", "a"), "1");
  EXPECT_EQ(ini.GetString("", "B"), "2");
}

TEST(IniFileLoad, BrokenHeaderDropsEntriesUntilTheNextGoodOne) {
  IniFile ini = Parsed("[Server\nA=1\n[Next]\nB=2\n");
  ASSERT_EQ(ini.SectionCount(), 1);
  EXPECT_EQ(ini.SectionNameAt(0), "Next");
  EXPECT_EQ(ini.GetString("Next", "B"), "2");
  EXPECT_EQ(ini.GetString("Server", "A", "missing"), "missing");

  // A good header followed by a broken one: entries after the broken one are lost too.
  ini = Parsed("[Server]\nA=1\n[Oops\nB=2\n");
  EXPECT_EQ(ini.GetString("Server", "A"), "1");
  EXPECT_EQ(ini.GetString("Server", "B", "missing"), "missing");
}

TEST(IniFileLoad, DuplicateSectionsMergedOrKept) {
  const std::string text = "[Server]\nPort=1\n[server]\nPort=2\nName=x\n";
  IniFile merged = Parsed(text, false);
  ASSERT_EQ(merged.SectionCount(), 1);
  EXPECT_EQ(merged.SectionAt(0)->EntryCount(), 3);
  EXPECT_EQ(merged.SectionAt(0)->EntryAt(1)->value, "2");
  EXPECT_EQ(merged.GetInt("server", "port", 9), 1);

  IniFile kept = Parsed(text, true);
  ASSERT_EQ(kept.SectionCount(), 2);
  EXPECT_EQ(kept.SectionNameAt(1), "server");
  EXPECT_EQ(kept.GetString("SERVER", "Name", "none"), "none");  // only the first is found
}

TEST(IniFileGetInt, AtoiRuleAndDefaultOnlyWhenMissing) {
  IniFile ini = Parsed("[S]\nEmpty=\nMixed=12abc\nNeg= -40\nWord=abc\n");
  struct Case {
    const char* section;
    const char* key;
    int expected;
  };
  for (const Case& c : {Case{"S", "Empty", 0}, Case{"S", "Mixed", 12}, Case{"S", "Neg", -40},
                        Case{"S", "Word", 0}, Case{"S", "Missing", 77},
                        Case{"Nope", "Empty", 77}}) {
    EXPECT_EQ(ini.GetInt(c.section, c.key, 77), c.expected) << c.section << "/" << c.key;
  }
}

TEST(IniFileLoad, LongLineIsSplitAtTheBufferSize) {
  // 20,000 bytes: the first 16,383 form one line, the rest another.
  std::string line = "K=" + std::string(16381, 'a') + "L=" + std::string(20000 - 16385, 'b');
  IniFile ini = Parsed("[S]\n" + line + "\n");
  const IniSection* s = ini.SectionAt(0);
  ASSERT_EQ(s->EntryCount(), 2);
  EXPECT_EQ(s->EntryAt(0)->value.size(), 16381u);
  EXPECT_EQ(s->EntryAt(1)->key, "L");
  EXPECT_EQ(s->EntryAt(1)->value, std::string(20000 - 16385, 'b'));
}

TEST(IniFileLoad, ResultCodes) {
  TempDir dir;
  IniFile ini;
  ini.AddString("Old", "k", "v");
  EXPECT_EQ(ini.Load(dir.File("missing.ini"), false), IniFile::kMissing);
  EXPECT_EQ(ini.SectionCount(), 0);

  std::filesystem::create_directory(dir.File("folder.ini"));
  ini.AddString("Old", "k", "v");
  EXPECT_EQ(ini.Load(dir.File("folder.ini"), false), IniFile::kUnreadable);
  EXPECT_EQ(ini.SectionCount(), 0);

  dir.Write("good.ini", "[A]\nx=1\n");
  EXPECT_EQ(ini.Load(dir.File("good.ini"), false), IniFile::kLoaded);
  EXPECT_EQ(ini.GetInt("A", "x", 0), 1);
}

TEST(IniFileAdd, AppendsEvenWhenTheKeyExists) {
  IniFile ini;
  ini.AddString("A", "k", "first");
  ini.AddInt("a", "K", -5);
  ini.AddSection("B", false);
  ini.AddSection("b", true);
  ASSERT_EQ(ini.SectionCount(), 3);
  EXPECT_EQ(ini.SectionAt(0)->EntryCount(), 2);
  EXPECT_EQ(ini.GetString("A", "k"), "first");
  EXPECT_EQ(ini.SectionAt(0)->EntryAt(1)->value, "-5");
  EXPECT_EQ(&ini.AddSection("B", false), ini.SectionAt(1));
}

TEST(IniFileSave, WritesTheFixedLayoutAndLoadsBack) {
  TempDir dir;
  IniFile ini;
  ini.AddString("Alpha", "Name", "First");
  ini.AddInt("Alpha", "Level", 5);
  ini.AddSection("Beta", false);
  ASSERT_EQ(ini.Save(dir.File("out.ini")), 0);
  EXPECT_EQ(dir.Read("out.ini"), "[Alpha]\n\nName=First\nLevel=5\n\n[Beta]\n\n\n");

  IniFile back;
  ASSERT_EQ(back.Load(dir.File("out.ini"), false), 0);
  EXPECT_EQ(back.Format(), ini.Format());
}

TEST(IniFileSave, FailureLeavesTheOldFileUnchanged) {
  TempDir dir;
  dir.Write("keep.ini", "[Old]\n\nx=1\n\n");
  // A folder where the temporary file must go makes the save fail.
  std::filesystem::create_directory(dir.File("keep.ini.tmp"));
  IniFile ini;
  ini.AddString("New", "y", "2");
  EXPECT_EQ(ini.Save(dir.File("keep.ini")), -1);
  EXPECT_EQ(dir.Read("keep.ini"), "[Old]\n\nx=1\n\n");

  std::filesystem::remove(dir.File("keep.ini.tmp"));
  EXPECT_EQ(ini.Save(dir.File("keep.ini")), 0);
  EXPECT_EQ(dir.Read("keep.ini"), "[New]\n\ny=2\n\n");
}

}  // namespace
}  // namespace kestrune
