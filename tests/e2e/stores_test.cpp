// The stores in the running server: accounts fixed at load are written after
// the save delay, and whatever is pending is written at shutdown.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "e2e/support/server_process.h"

namespace kestrune::e2e {
namespace {

using SteadyClock = std::chrono::steady_clock;

const std::string kDigest(64, 'A');

std::size_t CountOf(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

// The text of one section of an INI file: from its header to the next one.
std::string Section(const std::string& file, const std::string& name) {
  const std::size_t start = file.find("[" + name + "]\n");
  if (start == std::string::npos) return {};
  const std::size_t end = file.find("\n[", start + 1);
  return file.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

TEST(StoresProcess, AccountsFixedAtLoadAreWrittenAfterTheSaveDelay) {
  ServerProcess server;
  server.WriteSettings();
  const std::string original = "[Bob]\nEncPass=" + kDigest + "\n";
  server.WriteFile("kestrune_srv.usr", original);
  ASSERT_TRUE(server.StartReady({"-u10"}));
  const auto start = SteadyClock::now();

  ASSERT_TRUE(ServerProcess::WaitUntil(
      [&] { return server.ReadFile("kestrune_srv.usr") != original; }, 15000));
  const double seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
  EXPECT_GE(seconds, 8.5);
  EXPECT_LE(seconds, 12.5);

  const std::string file = server.ReadFile("kestrune_srv.usr");
  EXPECT_NE(Section(file, "Bob").find("\nUID=1\n"), std::string::npos) << file;
  EXPECT_NE(Section(file, "Bob").find("\nEncPass=" + kDigest + "\n"), std::string::npos) << file;
  EXPECT_NE(Section(file, "Guest").find("\nUID=2\n"), std::string::npos) << file;
  EXPECT_EQ(CountOf(file, "\n["), 1u) << "two sections: " << file;
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_EQ(server.ReadFile("kestrune_srv.usr"), file) << "nothing new to write at shutdown";
}

TEST(StoresProcess, PendingChangesAreWrittenAtShutdown) {
  ServerProcess server;
  server.WriteSettings();
  ASSERT_FALSE(server.Exists("kestrune_srv.usr"));
  ASSERT_TRUE(server.StartReady());  // the save delay is 60 seconds
  EXPECT_FALSE(server.Exists("kestrune_srv.usr"));
  EXPECT_EQ(server.Stop(), 0);

  const std::string file = server.ReadFile("kestrune_srv.usr");
  EXPECT_EQ(file.rfind("[Guest]\n", 0), 0u) << file;
  EXPECT_EQ(CountOf(file, "["), 1u) << "only the guest account: " << file;
  EXPECT_NE(file.find("\nUID=1\n"), std::string::npos) << file;
}

// Accounts that cannot be loaded end the start with status 2, after the
// listeners opened and the PID file was written, which must be gone again.
TEST(StoresProcess, AccountsThatCannotBeLoadedEndTheStartWithStatusTwo) {
  ServerProcess server;
  server.WriteSettings();
  std::filesystem::create_directory(server.PathOf("kestrune_srv.usr"));
  ASSERT_TRUE(server.Start());
  EXPECT_EQ(server.WaitExit(), 2);
  EXPECT_FALSE(server.Exists("kestrune_srv.pid"));
  EXPECT_TRUE(std::filesystem::is_directory(server.PathOf("kestrune_srv.usr")));
  const std::string log = server.Log();
  EXPECT_NE(log.find(" ERROR: Unable to read the accounts file 'kestrune_srv.usr'.\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("READY:"), std::string::npos);
  EXPECT_EQ(log.find("END:"), std::string::npos);
}

// A save that fails at shutdown does not stop the shutdown.
TEST(StoresProcess, FailedSaveAtShutdownStillEndsCleanly) {
  ServerProcess server;
  server.WriteSettings();
  // A folder where the new accounts file must first be written.
  std::filesystem::create_directory(server.PathOf("kestrune_srv.usr.tmp"));
  ASSERT_TRUE(server.StartReady());
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_FALSE(server.Exists("kestrune_srv.usr"));
  EXPECT_TRUE(std::filesystem::is_directory(server.PathOf("kestrune_srv.usr.tmp")));
  EXPECT_NE(server.Log().find("END: Shutdown complete."), std::string::npos);
  EXPECT_EQ(server.Stderr(), "");
}

}  // namespace
}  // namespace kestrune::e2e
