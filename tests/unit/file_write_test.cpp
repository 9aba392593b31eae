#include "util/file_write.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

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

// The calls a durable write makes, in order, with the file each fd names;
// `failFsyncOf` makes the fsync of that file fail.
struct RecordedCalls {
  std::vector<std::string> steps;
  std::string failFsyncOf;

  static std::string PathOf(int fd) {
    char path[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = readlink(link.c_str(), path, sizeof path - 1);
    return n < 0 ? "?" : std::string(path, static_cast<std::size_t>(n));
  }

  FileWriteCalls Calls() {
    const FileWriteCalls& real = SystemFileWriteCalls();
    return FileWriteCalls{[this, &real](int fd, const void* data, std::size_t size) {
                            steps.push_back("write " + PathOf(fd));
                            return real.write(fd, data, size);
                          },
                          [this, &real](int fd) {
                            const std::string path = PathOf(fd);
                            steps.push_back("fsync " + path);
                            if (path == failFsyncOf) {
                              errno = EIO;
                              return -1;
                            }
                            return real.fsync(fd);
                          },
                          [this, &real](const char* from, const char* to) {
                            steps.push_back(std::string("rename ") + from + " " + to);
                            return real.rename(from, to);
                          }};
  }
};

TEST(WriteFileAtomically, FlushesTheTemporaryFileBeforeTheRename) {
  TempDir dir;
  dir.Write("d.txt", "old");
  const std::string target = std::filesystem::canonical(dir.File("d.txt"));
  const std::string folder = std::filesystem::path(target).parent_path();
  RecordedCalls recorded;
  ASSERT_EQ(WriteFileAtomically(target, "new", recorded.Calls()), 0);
  EXPECT_EQ(recorded.steps,
            (std::vector<std::string>{"write " + target + ".tmp", "fsync " + target + ".tmp",
                                      "rename " + target + ".tmp " + target, "fsync " + folder}));
  EXPECT_EQ(dir.Read("d.txt"), "new");
}

TEST(WriteFileAtomically, AFailedFlushLeavesTheTargetUnchanged) {
  TempDir dir;
  dir.Write("e.txt", "old");
  const std::string target = std::filesystem::canonical(dir.File("e.txt"));
  RecordedCalls recorded;
  recorded.failFsyncOf = target + ".tmp";
  EXPECT_EQ(WriteFileAtomically(target, "new", recorded.Calls()), -1);
  EXPECT_EQ(dir.Read("e.txt"), "old");
  EXPECT_FALSE(std::filesystem::exists(target + ".tmp"));
  for (const std::string& step : recorded.steps) {
    EXPECT_EQ(step.rfind("rename", 0), std::string::npos)
        << "nothing is renamed after a failed flush";
  }
}

}  // namespace
}  // namespace kestrune
