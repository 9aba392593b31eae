#include "protocol/motd_messages.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "client/motd_requests.h"
#include "protocol/login_messages.h"
#include "protocol_fixture.h"

namespace kestrune {
namespace {

using testing::ProtocolFixture;
using testing::TestClient;
using P = PermissionBlock;

unsigned ModeOf(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return 0;
  return info.st_mode & 07777;
}

TEST(MotdFile, PartZeroRecreatesWithMode0600AndLaterPartsAppend) {
  testing::TempDir dir;
  const std::string path = dir.File("x.motd");
  dir.Write("x.motd", "old text that goes");
  chmod(path.c_str(), 0644);
  EXPECT_TRUE(WriteMotdPart(path, 0, "ab"));
  EXPECT_EQ(ModeOf(path), 0600u);
  EXPECT_TRUE(WriteMotdPart(path, 1, "cd"));
  EXPECT_TRUE(WriteMotdPart(path, 1, "ef")) << "any later index appends";
  EXPECT_EQ(dir.Read("x.motd"), "abcdef");

  const std::string missing = dir.File("none.motd");
  EXPECT_FALSE(WriteMotdPart(missing, 3, "zz"));
  EXPECT_FALSE(std::filesystem::exists(missing)) << "appending never creates";
}

TEST(MotdFile, APartThatWouldPassTheBoundIsSkipped) {
  testing::TempDir dir;
  const std::string path = dir.File("x.motd");
  const std::string part(256, 'p');
  for (std::uint16_t i = 0; i < 32; ++i) ASSERT_TRUE(WriteMotdPart(path, i, part)) << i;
  EXPECT_EQ(std::filesystem::file_size(path), kMotdFileLimit) << "32 full parts fit exactly";
  EXPECT_FALSE(WriteMotdPart(path, 31, "q"));
  EXPECT_EQ(BuildMotdParts(path, kMotdNormal).size(), 32u);

  for (std::uint16_t i = 0; i < 31; ++i) ASSERT_TRUE(WriteMotdPart(path, i, part));
  ASSERT_TRUE(WriteMotdPart(path, 31, std::string(255, 'q')));
  EXPECT_FALSE(WriteMotdPart(path, 31, "qq")) << "8191 + 2 passes the bound: skipped whole";
  EXPECT_EQ(std::filesystem::file_size(path), kMotdFileLimit - 1);
  EXPECT_TRUE(WriteMotdPart(path, 31, "q"));
  EXPECT_EQ(std::filesystem::file_size(path), kMotdFileLimit);
}

class MotdUploadTest : public ProtocolFixture {
 protected:
  TestClient& Editor(bool normal, bool guest, const std::string& address = "127.0.0.2") {
    TestClient& client = LoggedIn("Ann", "ann", address);
    client.c->permissions[P::kMotdEditNormal] = normal ? 1 : 0;
    client.c->permissions[P::kMotdEditGuest] = guest ? 1 : 0;
    return client;
  }
  void SetUp() override {
    ProtocolFixture::SetUp();
    uploads = std::make_unique<MotdMessages>(*protocol);
    uploads->Register();
  }
  std::unique_ptr<MotdMessages> uploads;
};

TEST_F(MotdUploadTest, UploadedPartsComeBackAsTheLoginSendsThem) {
  TestClient& editor = Editor(true, false);
  const std::string text = std::string(256, 'a') + std::string(256, 'b') + "c";
  for (std::uint16_t i = 0; i < 3; ++i)
    Dispatch(editor, BuildMotdUpload(kMotdNormal, 3, i, text.substr(i * 256u, 256)));
  EXPECT_FALSE(editor.c->closing);
  EXPECT_TRUE(Drain(editor).empty()) << "uploads are not answered";
  EXPECT_EQ(dir.Read("t.motd"), text);
  auto parts = BuildMotdParts(dir.File("t.motd"), kMotdNormal);
  ASSERT_EQ(parts.size(), 3u);
  auto last = ReadMotdPart(*parts[2]);
  ASSERT_TRUE(last);
  EXPECT_EQ(last->total, 3);
  EXPECT_EQ(last->bytes, "c");

  // A new upload starts over at index 0.
  Dispatch(editor, BuildMotdUpload(kMotdNormal, 1, 0, "fresh"));
  EXPECT_EQ(dir.Read("t.motd"), "fresh");
}

TEST_F(MotdUploadTest, TotalZeroDeletesOnlyTheFileOfItsKind) {
  dir.Write("t.motd", "normal");
  dir.Write("t.gmotd", "guest");
  TestClient& editor = Editor(true, true);
  Dispatch(editor, BuildMotdUpload(kMotdGuest, 0, 0, ""));
  EXPECT_FALSE(std::filesystem::exists(dir.File("t.gmotd")));
  EXPECT_EQ(dir.Read("t.motd"), "normal");
  Dispatch(editor, BuildMotdUpload(kMotdNormal, 0, 5, "ignored"));
  EXPECT_FALSE(std::filesystem::exists(dir.File("t.motd")));
  EXPECT_FALSE(editor.c->closing);
}

TEST_F(MotdUploadTest, EachKindNeedsItsOwnRight) {
  struct Case {
    std::uint16_t kind;
    bool normal;
    bool guest;
    std::uint16_t refusal;  // 0: written
  };
  const Case cases[] = {
      {kMotdNormal, false, true, kRefuseMotdNormal},
      {kMotdGuest, true, false, kRefuseMotdGuest},
      {7, true, false, kRefuseMotdGuest},  // any non-zero kind is the guest one
      {kMotdNormal, true, false, 0},
      {7, false, true, 0},
  };
  int host = 10;
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "kind " << c.kind << " normal " << c.normal);
    std::filesystem::remove(dir.File("t.motd"));
    std::filesystem::remove(dir.File("t.gmotd"));
    TestClient& editor = Editor(c.normal, c.guest, "127.0.0." + std::to_string(host++));
    Dispatch(editor, BuildMotdUpload(c.kind, 1, 0, "hi"));
    auto got = Drain(editor);
    const std::string file = c.kind == kMotdNormal ? "t.motd" : "t.gmotd";
    if (c.refusal == 0) {
      EXPECT_TRUE(got.empty());
      EXPECT_EQ(dir.Read(file), "hi");
    } else {
      ASSERT_EQ(got.size(), 1u);
      auto refusal = ReadRefusal(*got[0]);
      ASSERT_TRUE(refusal);
      EXPECT_EQ(refusal->code, c.refusal);
      EXPECT_FALSE(refusal->closes);
      EXPECT_FALSE(std::filesystem::exists(dir.File(file)));
    }
    EXPECT_FALSE(editor.c->closing);
  }
}

TEST_F(MotdUploadTest, MalformedUploadsClose) {
  struct Case {
    const char* what;
    std::unique_ptr<Message> (*build)();
  };
  const Case cases[] = {
      {"257 bytes", [] { return BuildMotdUpload(kMotdNormal, 2, 0, "x", 257); }},
      {"33 parts", [] { return BuildMotdUpload(kMotdNormal, 33, 0, "x"); }},
      {"index at the total", [] { return BuildMotdUpload(kMotdNormal, 2, 2, "x"); }},
  };
  int host = 20;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto message = c.build();
    TestClient& editor = Editor(true, true, "127.0.0." + std::to_string(host++));
    Dispatch(editor, std::move(message));
    EXPECT_TRUE(editor.c->closing);
    EXPECT_FALSE(std::filesystem::exists(dir.File("t.motd")));
  }
  // A longer body, and an upload before login, close too.
  TestClient& editor = Editor(true, true, "127.0.0.30");
  auto longer = BuildMotdUpload(kMotdNormal, 1, 0, "x");
  ASSERT_GE(longer->ReserveBytes(1), 0);
  Dispatch(editor, std::move(longer));
  EXPECT_TRUE(editor.c->closing);
  TestClient& stranger = Connect("127.0.0.31");
  Dispatch(stranger, BuildMotdUpload(kMotdNormal, 1, 0, "x"));
  EXPECT_TRUE(stranger.c->closing);
  EXPECT_FALSE(std::filesystem::exists(dir.File("t.motd")));
}

}  // namespace
}  // namespace kestrune
