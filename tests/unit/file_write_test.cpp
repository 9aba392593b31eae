#include "util/file_write.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "unit/support/temp_dir.h"

namespace kestrune {
namespace {

using testing::TempDir;

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  stat(path.c_str(), &st);
  return st.st_mode & 07777;
}

TEST(WriteFileAtomically, ReplacesContentsAndKeepsPermissionBits) {
  TempDir dir;
  dir.Write("a.txt", "old contents that are longer");
  chmod(dir.File("a.txt").c_str(), 0640);
  ASSERT_EQ(WriteFileAtomically(dir.File("a.txt"), "new"), 0);
  EXPECT_EQ(dir.Read("a.txt"), "new");
  EXPECT_EQ(ModeOf(dir.File("a.txt")), 0640u);
  EXPECT_FALSE(std::filesystem::exists(dir.File("a.txt.tmp")));
}

TEST(WriteFileAtomically, CreatesAMissingFile) {
  TempDir dir;
  ASSERT_EQ(WriteFileAtomically(dir.File("fresh.txt"), "x"), 0);
  EXPECT_EQ(dir.Read("fresh.txt"), "x");
}

TEST(WriteFileAtomically, FollowsASymbolicLinkSoTheLinkSurvives) {
  TempDir dir;
  std::filesystem::create_directory(dir.File("real"));
  dir.Write("real/data.txt", "old");
  std::filesystem::create_symlink("real/data.txt", dir.File("link.txt"));
  ASSERT_EQ(WriteFileAtomically(dir.File("link.txt"), "new"), 0);
  EXPECT_TRUE(std::filesystem::is_symlink(dir.File("link.txt")));
  EXPECT_EQ(dir.Read("real/data.txt"), "new");
  EXPECT_EQ(ResolveWriteTarget(dir.File("link.txt")), dir.File("real/data.txt"));
}

TEST(WriteFileAtomically, FailuresLeaveTheOldFileUntouched) {
  TempDir dir;
  dir.Write("b.txt", "old");
  // The temporary file cannot be created: a folder sits where it goes.
  std::filesystem::create_directory(dir.File("b.txt.tmp"));
  EXPECT_EQ(WriteFileAtomically(dir.File("b.txt"), "new"), -1);
  EXPECT_EQ(dir.Read("b.txt"), "old");
  EXPECT_TRUE(std::filesystem::is_directory(dir.File("b.txt.tmp")));

  // The rename fails: the target is a non-empty folder. The temporary file goes away.
  std::filesystem::create_directory(dir.File("c.txt"));
  dir.Write("c.txt/inside", "x");
  EXPECT_EQ(WriteFileAtomically(dir.File("c.txt"), "new"), -1);
  EXPECT_FALSE(std::filesystem::exists(dir.File("c.txt.tmp")));
  EXPECT_EQ(dir.Read("c.txt/inside"), "x");
}

}  // namespace
}  // namespace kestrune
