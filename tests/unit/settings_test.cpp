#include "config/settings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/log.h"
#include "support/temp_dir.h"
#include "util/clock.h"

namespace kestrune {
namespace {

struct Loaded {
  int code = 0;
  std::vector<std::string> lines;
  ServerSettings settings;
};

Loaded LoadText(const std::string& text, const SettingsLoadSteps& steps = {}) {
  FakeClock clock;
  Log log(clock);
  log.SetDaemon(true);
  Loaded loaded;
  log.SetForwarder([&loaded](const std::string& line) { loaded.lines.push_back(line); });
  IniFile ini;
  ini.Parse(text, false);
  loaded.code = loaded.settings.Load(ini, log, steps);
  return loaded;
}

const std::string kName = "[Server]\nName=Test Server\n";
const std::string k32 = "abcdefghijklmnopqrstuvwxyz012345";  // 32 characters
const std::string kHex64 = "00112233445566778899AABBCCDDEEFF00112233445566778899AABBCCDDEEFF";

struct Case {
  std::string text;
  int code;
  std::string message;  // last logged line; empty when nothing is logged
};

TEST(SettingsLoad, EachRuleGivesItsMessageAndCode) {
  const std::vector<Case> cases = {
      {"", -1, "Bad configuration file."},
      {"[Intf]\nName=ab\n", -1, "Bad configuration file."},
      {"[server]\nname=ab\n", 0, ""},
      {"[Server]\nPhonetic=x\n", -2, "Server must have a valid name."},
      {"[Server]\nName=   \n", -2, "Server must have a valid name."},
      {"[Server]\nName=  x  \n", -2, "Server name must be at least 2 characters long."},
      {"[Server]\nName=xy\n", 0, ""},
      {kName + "EncPassLogin=ABC\n", -2, "Bad EncPassLogin specified."},
      {kName + "EncPassLogin=\n", -2, "Bad EncPassLogin specified."},
      {kName + "EncPassLogin=" + kHex64 + "\nPassword=" + k32 + "\n", 0, ""},
      {kName + "Password=" + k32 + "\n", -2, "Bad password specified."},
      {kName + "Password=" + k32.substr(1) + "\n", 0, ""},
      {kName + "EncPassAdmin=" + kHex64 + "0\n", -2, "Bad EncPassAdmin specified."},
      {kName + "AdminPassword=" + k32 + "\n", -2, "Bad admin password specified."},
      {kName + "Port=0\n", -22, "Port must be >= 1 and <= 65535"},
      {kName + "Port=70000\n", -22, "Port must be >= 1 and <= 65535"},
      {kName + "Port=-5\n", -22, "Port must be >= 1 and <= 65535"},
      {kName + "Port=1\n", 0, ""},
      {kName + "Port=65535\n", 0, ""},
      {kName + "SendBuffer=1000\n", -12, "SendBuffer must be >= 4096."},
      {kName + "SendBuffer=-1\n", -12, "SendBuffer must be >= 4096."},
      {kName + "SendBuffer=4096\n", 0, ""},
      {kName + "RecvBuffer=4095\n", -13, "RecvBuffer must be >= 4096."},
      {kName + "LogonTimeout=-1\n", -14, "LogonTimeout must be >= 0 and <= 30"},
      {kName + "LogonTimeout=31\n", -14, "LogonTimeout must be >= 0 and <= 30"},
      {kName + "LogonTimeout=30\n", 0, ""},
      {kName + "PingRate=0\n", -15, "PingRate must be >= 1 and <= 10"},
      {kName + "PingRate=11\n", -15, "PingRate must be >= 1 and <= 10"},
      {kName + "PingRate=1\n", 0, ""},
      {kName + "ExtraBuffer=32767\n", -16, "ExtraBuffer must be >= 32768 and <= 1048576"},
      {kName + "ExtraBuffer=1048577\n", -16, "ExtraBuffer must be >= 32768 and <= 1048576"},
      {kName + "ExtraBuffer=1048576\n", 0, ""},
      {kName + "ExtraBuffer=32768\n", 0, ""},
      {kName + "ChanWidth=-1\n", -19, "ChanWidth must be >= 0"},
      {kName + "ChanDepth=9\n", -20, "ChanDepth must be >= 0 and <= 8"},
      {kName + "ChanDepth=-1\n", -20, "ChanDepth must be >= 0 and <= 8"},
      {kName + "ChanClients=-1\n", -21, "ChanClients must be >= 0"},
      {kName + "VoiceCodec=4\n", -17, "VoiceCodec option is out of range."},
      {kName + "VoiceCodec=-1\n", -17, "VoiceCodec option is out of range."},
      {kName + "VoiceCodec=3\nVoiceFormat=32\n", 0, ""},
      {kName + "VoiceCodec=3\nVoiceFormat=33\n", -18,
       "VoiceFmt option is invalid for 'Speex' codec."},
      {kName + "VoiceCodec=1\nVoiceFormat=1\n", -18,
       "VoiceFmt option is invalid for 'DSP Group TrueSpeech' codec."},
      {kName + "VoiceFormat=-1\n", -18, "VoiceFmt option is invalid for 'GSM 6.10' codec."},
      {kName + "UpdateServer=10.0.0.1\n", 0, ""},
      {kName + "UpdateServer=10.0.0.1:65535\n", 0, ""},
      {kName + "UpdateServer=\n", -23, "Bad UpdateServer specified."},
      {kName + "UpdateServer=update.example\n", -23, "Bad UpdateServer specified."},
      {kName + "UpdateServer=10.0.0.1:0\n", -23, "Bad UpdateServer specified."},
      {kName + "UpdateServer=10.0.0.1:65536\n", -23, "Bad UpdateServer specified."},
      {kName + "UpdateServer=10.0.0.1:\n", -23, "Bad UpdateServer specified."},
      {kName + "UpdateServer=10.0.0.1:5x\n", -23, "Bad UpdateServer specified."},
      {kName + "UpdateServer=256.0.0.1\n", -23, "Bad UpdateServer specified."},
      {kName + "UpdateServer=10.0.1\n", -23, "Bad UpdateServer specified."},
      {kName + "UpdateServer=10.0.0.1.\n", -23, "Bad UpdateServer specified."},
      {kName + "UpdateServer=10..0.1\n", -23, "Bad UpdateServer specified."},
      // The first broken rule in load order is the one reported.
      {kName + "PingRate=0\nSendBuffer=10\nPort=0\n", -22, "Port must be >= 1 and <= 65535"},
      {kName + "VoiceCodec=9\nChanWidth=-1\n", -19, "ChanWidth must be >= 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const Loaded loaded = LoadText(c.text);
    EXPECT_EQ(loaded.code, c.code);
    if (c.message.empty()) {
      EXPECT_TRUE(loaded.lines.empty());
    } else {
      ASSERT_EQ(loaded.lines.size(), 1u);
      EXPECT_EQ(loaded.lines.back(), c.message);
    }
  }
}

TEST(SettingsLoad, DefaultsAndZeroValuesThatStandForDefaults) {
  Loaded loaded = LoadText(kName);
  ASSERT_EQ(loaded.code, 0);
  const ServerSettings& s = loaded.settings;
  EXPECT_EQ(s.name, "Test Server");
  EXPECT_EQ(s.phonetic, "");
  EXPECT_EQ(s.auth, -1);
  EXPECT_EQ(s.diag, 0);
  EXPECT_FALSE(s.encPassLogin.IsSet());
  EXPECT_FALSE(s.encPassAdmin.IsSet());
  EXPECT_EQ(s.port, 3784);
  EXPECT_EQ(s.sendBuffer, 131072);
  EXPECT_EQ(s.recvBuffer, 131072);
  EXPECT_EQ(s.logonTimeout, 5);
  EXPECT_EQ(s.closeStd, 1);
  EXPECT_EQ(s.timeStamp, 0);
  EXPECT_EQ(s.pingRate, 10);
  EXPECT_EQ(s.extraBuffer, 131072);
  EXPECT_EQ(s.chanDepth, 8);
  EXPECT_EQ(s.disableQuit, 1);
  EXPECT_EQ(s.voiceCodec, 0);
  EXPECT_EQ(s.voiceFormat, 0);
  EXPECT_EQ(s.autoKick, 0);
  EXPECT_EQ(s.updateAddress, 0x7F000001u);
  EXPECT_EQ(s.updatePort, 5000);
  EXPECT_EQ(s.defaultChannelId, 0);

  loaded = LoadText(kName +
                    "SendBuffer=0\nRecvBuffer=0\nExtraBuffer=0\nChanDepth=0\nLogonTimeout=0\n"
                    "Port=4000\nAutoKick=600\nUpdateServer= 192.168.1.2:6001 \n");
  ASSERT_EQ(loaded.code, 0);
  EXPECT_EQ(loaded.settings.sendBuffer, 131072);
  EXPECT_EQ(loaded.settings.recvBuffer, 131072);
  EXPECT_EQ(loaded.settings.extraBuffer, 131072);
  EXPECT_EQ(loaded.settings.chanDepth, 8);
  EXPECT_EQ(loaded.settings.logonTimeout, 0);
  EXPECT_EQ(loaded.settings.port, 4000);
  EXPECT_EQ(loaded.settings.autoKick, 600);
  EXPECT_EQ(loaded.settings.updateAddress, 0xC0A80102u);
  EXPECT_EQ(loaded.settings.updatePort, 6001);
}

TEST(SettingsLoad, TextValuesAreTrimmedAndPasswordsBecomeDigests) {
  Loaded loaded = LoadText(
      "[Server]\nName= \t My Server \t\nPhonetic=  my server \n"
      "Password=secret\nEncPassAdmin=" +
      kHex64 + "\nAdminPassword=" + k32 + "\n");
  ASSERT_EQ(loaded.code, 0);
  EXPECT_EQ(loaded.settings.name, "My Server");
  EXPECT_EQ(loaded.settings.phonetic, "my server");
  PasswordDigest expected;
  expected.FromPlain("secret");
  EXPECT_TRUE(loaded.settings.encPassLogin.Equals(expected));
  EXPECT_EQ(loaded.settings.encPassAdmin.ToHex(), kHex64);

  // The digest key wins even over a plain password that would be refused.
  loaded = LoadText(kName + "EncPassLogin=" + kHex64 + "\nPassword=" + k32 + "\n");
  ASSERT_EQ(loaded.code, 0);
  EXPECT_EQ(loaded.settings.encPassLogin.ToHex(), kHex64);

  loaded = LoadText(kName + "Password=\n");
  ASSERT_EQ(loaded.code, 0);
  EXPECT_FALSE(loaded.settings.encPassLogin.IsSet());
}

TEST(SettingsLoad, FailedLoadKeepsTheValuesReadSoFar) {
  const Loaded loaded = LoadText(kName + "Auth=1\nPort=5000\nPingRate=0\n");
  EXPECT_EQ(loaded.code, -15);
  EXPECT_EQ(loaded.settings.auth, 1);
  EXPECT_EQ(loaded.settings.port, 5000);
}

TEST(SettingsLoad, IntfSectionIsWarnedAboutOnlyWhenItHasEntries) {
  Loaded loaded = LoadText(kName + "[Intf]\nAddress=127.0.0.1\n");
  EXPECT_EQ(loaded.code, 0);
  ASSERT_EQ(loaded.lines.size(), 1u);
  EXPECT_EQ(loaded.lines[0].rfind("WARNING:", 0), 0u);
  EXPECT_NE(loaded.lines[0].find("[Intf]"), std::string::npos);

  loaded = LoadText(kName + "[Intf]\n");
  EXPECT_EQ(loaded.code, 0);
  EXPECT_TRUE(loaded.lines.empty());
}

TEST(SettingsLoad, TimeStampReachesTheLogAsSoonAsItIsRead) {
  const std::string stamp = Log::TimeStampText(FakeClock().WallSeconds()) + " ";
  const std::vector<Case> cases = {
      // Lines after the key carry the stamp, lines before it do not.
      {kName + "TimeStamp=1\nPingRate=0\n", -15, stamp + "PingRate must be >= 1 and <= 10"},
      {kName + "TimeStamp=1\n[Intf]\nAddress=1.2.3.4\n", 0,
       stamp + "WARNING: The [Intf] section is not supported by this server; it is ignored."},
      {kName + "TimeStamp=1\nSendBuffer=1\n", -12, "SendBuffer must be >= 4096."},
      {kName + "TimeStamp=0\nPingRate=0\n", -15, "PingRate must be >= 1 and <= 10"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const Loaded loaded = LoadText(c.text);
    EXPECT_EQ(loaded.code, c.code);
    ASSERT_EQ(loaded.lines.size(), 1u);
    EXPECT_EQ(loaded.lines[0], c.message);
  }
}

TEST(SettingsLoad, LastStepsRunInOrderAndEndTheLoad) {
  std::vector<std::string> calls;
  SettingsLoadSteps steps;
  steps.allocateStatusRates = [&] {
    calls.push_back("rates");
    return 0;
  };
  steps.loadChannels = [&] {
    calls.push_back("channels");
    return 0;
  };
  steps.defaultChannelId = [&] {
    calls.push_back("default");
    return 17;
  };
  Loaded loaded = LoadText(kName, steps);
  EXPECT_EQ(loaded.code, 0);
  EXPECT_EQ(loaded.settings.defaultChannelId, 17);
  EXPECT_EQ(calls, (std::vector<std::string>{"rates", "channels", "default"}));

  calls.clear();
  steps.loadChannels = [&] {
    calls.push_back("channels");
    return -7;
  };
  loaded = LoadText(kName, steps);
  EXPECT_EQ(loaded.code, -7);
  EXPECT_EQ(calls, (std::vector<std::string>{"rates", "channels"}));

  calls.clear();
  steps.allocateStatusRates = [&] {
    calls.push_back("rates");
    return -1;
  };
  loaded = LoadText(kName, steps);
  EXPECT_EQ(loaded.code, -10);
  EXPECT_EQ(calls, (std::vector<std::string>{"rates"}));

  // A broken value never reaches the steps.
  calls.clear();
  loaded = LoadText(kName + "PingRate=0\n", steps);
  EXPECT_TRUE(calls.empty());
}

TEST(SettingsLoad, MissingFileNamesTheFile) {
  testing::TempDir dir;
  FakeClock clock;
  Log log(clock);
  log.SetDaemon(true);
  std::vector<std::string> lines;
  log.SetForwarder([&lines](const std::string& line) { lines.push_back(line); });
  ServerSettings settings;
  const std::string path = dir.File("none.ini");
  EXPECT_EQ(settings.Load(path, log), -1);
  EXPECT_EQ(lines, (std::vector<std::string>{"Unable to open configuration file '" + path + "'."}));

  dir.Write("ok.ini", "[Server]\nName=From File\n");
  EXPECT_EQ(settings.Load(dir.File("ok.ini"), log), 0);
  EXPECT_EQ(settings.name, "From File");
}

TEST(CodecTable, FourCodecsWithThirtyNineFormats) {
  ASSERT_EQ(CodecCount(), 4);
  const std::vector<std::pair<std::string, std::size_t>> expected = {
      {"GSM 6.10", 4}, {"DSP Group TrueSpeech", 1}, {"Lernout & Hauspie", 1}, {"Speex", 33}};
  std::size_t total = 0;
  for (int c = 0; c < 4; ++c) {
    ASSERT_NE(CodecByNumber(c), nullptr);
    EXPECT_EQ(CodecByNumber(c)->name, expected[c].first);
    EXPECT_EQ(CodecByNumber(c)->formats.size(), expected[c].second);
    total += CodecByNumber(c)->formats.size();
  }
  EXPECT_EQ(total, 39u);
  EXPECT_EQ(CodecByNumber(-1), nullptr);
  EXPECT_EQ(CodecByNumber(4), nullptr);
  EXPECT_EQ(FormatByNumber(0, 4), nullptr);
  EXPECT_EQ(FormatByNumber(0, -1), nullptr);
  EXPECT_EQ(FormatByNumber(3, 33), nullptr);
  EXPECT_EQ(FormatByNumber(5, 0), nullptr);
  EXPECT_EQ(CodecByNumber(3)->id1, -1);
  EXPECT_EQ(CodecByNumber(2)->id2, 90);
}

TEST(CodecTable, FormatRecords) {
  struct Row {
    int codec, format, tag, extra, rate, quality, bytes;
    const char* description;
  };
  const std::vector<Row> rows = {
      {0, 0, 49, 0, 8000, 0, 1625, "8 KHz, 16 bit"},
      {0, 3, 49, 0, 44100, 0, 8905, "44 KHz, 16 bit"},
      {1, 0, 34, 0, 8000, 0, 1056, "8 KHz, 16 bit"},
      {2, 0, 112, 4353, 8000, 0, 600, "8 KHz, 16 bit"},
      {3, 0, -1, 0, 8000, 0, 424, "8 KHz, 16 bit, 0 Qlty"},
      {3, 10, -11, 0, 8000, 10, 3168, "8 KHz, 16 bit, 10 Qlty"},
      {3, 14, -24, 0, 16000, 3, 1355, "16 KHz, 16 bit, 3 Qlty"},
      {3, 22, -41, 0, 32000, 0, 669, "32 KHz, 16 bit, 0 Qlty"},
      {3, 32, -51, 0, 32000, 10, 5520, "32 KHz, 16 bit, 10 Qlty"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.codec) + "/" + std::to_string(row.format));
    const FormatRecord* f = FormatByNumber(row.codec, row.format);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->tag, row.tag);
    EXPECT_EQ(f->extra, row.extra);
    EXPECT_EQ(f->sampleRate, row.rate);
    EXPECT_EQ(f->bitsPerSample, 16);
    EXPECT_EQ(f->quality, row.quality);
    EXPECT_EQ(f->bytesPerSecond, row.bytes);
    EXPECT_EQ(f->description, row.description);
  }
}

TEST(SettingsDump, LinesInOrder) {
  Loaded loaded = LoadText(
      "[Server]\nName=Dumped\nPhonetic=dumped\nAuth=0\nDuplicates=1\n"
      "SendBuffer=8192\nRecvBuffer=0\nLogonTimeout=7\nCloseStd=0\n"
      "TimeStamp=1\nPingRate=3\nExtraBuffer=65536\nChanWidth=4\n"
      "ChanDepth=3\nChanClients=5\nDisableQuit=0\nVoiceCodec=3\n"
      "VoiceFormat=14\nSilentLobby=1\nAutoKick=90\n");
  ASSERT_EQ(loaded.code, 0);
  FakeClock clock;
  Log log(clock);
  log.SetDaemon(true);
  std::vector<std::string> lines;
  log.SetForwarder([&lines](const std::string& line) { lines.push_back(line); });
  loaded.settings.Dump(log, "3.0.2");
  const std::vector<std::string> expected = {
      "Version           = 3.0.2",
      "Name              = Dumped",
      "Phonetic          = dumped",
      "Auth              = 0",
      "Duplicates        = 1",
      "SendBuffer        = 8192",
      "RecvBuffer        = 131072",
      "LogonTimeout      = 7",
      "CloseStd          = 0",
      "TimeStamp         = 1",
      "PingRate          = 3",
      "ExtraBuffer       = 65536",
      "ChanWidth         = 4",
      "ChanDepth         = 3",
      "ChanClients       = 5",
      "DisableQuit       = 0",
      "VoiceCodec        = 3 (Speex)",
      "VoiceFormat       = 14 (16 KHz, 16 bit, 3 Qlty) - Bytes/Sec 1355",
      "SilentLobby       = 1",
      "AutoKick          = 90",
      "MaxClients        = 8",
      "",
      "",
  };
  EXPECT_EQ(lines, expected);
}

}  // namespace
}  // namespace kestrune
