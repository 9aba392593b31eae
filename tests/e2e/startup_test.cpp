#include "server/startup.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/support/server_process.h"
#include "server/server.h"

namespace kestrune::e2e {
namespace {

const std::string kUsage =
    "Kestrune Server - Public - 3.0.2\n"
    "\n"
    "Command line options:\n"
    "\n"
    "  -f  = Path and Filename prefixing i.e. -f/kestrune/3784\n"
    "        Where the 3784 would denote a port number and the program will\n"
    "        append extensions like: .ini .ban .log .pid to the path and prefix.\n"
    "\n"
    "  -d  = Enable daemon mode.\n"
    "\n"
    "Codec Format Description:\n"
    "  0     0    GSM 6.10 (8 KHz, 16 bit) 1625 bytes/sec\n"
    "  0     1    GSM 6.10 (11 KHz, 16 bit) 2210 bytes/sec\n"
    "  0     2    GSM 6.10 (22 KHz, 16 bit) 4420 bytes/sec\n"
    "  0     3    GSM 6.10 (44 KHz, 16 bit) 8905 bytes/sec\n"
    "  1     0    DSP Group TrueSpeech (8 KHz, 16 bit) 1056 bytes/sec\n"
    "  2     0    Lernout & Hauspie (8 KHz, 16 bit) 600 bytes/sec\n"
    "  3     0    Speex (8 KHz, 16 bit, 0 Qlty) 424 bytes/sec\n"
    "  3     1    Speex (8 KHz, 16 bit, 1 Qlty) 620 bytes/sec\n"
    "  3     2    Speex (8 KHz, 16 bit, 2 Qlty) 865 bytes/sec\n"
    "  3     3    Speex (8 KHz, 16 bit, 3 Qlty) 1110 bytes/sec\n"
    "  3     4    Speex (8 KHz, 16 bit, 4 Qlty) 1110 bytes/sec\n"
    "  3     5    Speex (8 KHz, 16 bit, 5 Qlty) 1502 bytes/sec\n"
    "  3     6    Speex (8 KHz, 16 bit, 6 Qlty) 1502 bytes/sec\n"
    "  3     7    Speex (8 KHz, 16 bit, 7 Qlty) 1922 bytes/sec\n"
    "  3     8    Speex (8 KHz, 16 bit, 8 Qlty) 1922 bytes/sec\n"
    "  3     9    Speex (8 KHz, 16 bit, 9 Qlty) 2384 bytes/sec\n"
    "  3    10    Speex (8 KHz, 16 bit, 10 Qlty) 3168 bytes/sec\n"
    "  3    11    Speex (16 KHz, 16 bit, 0 Qlty) 620 bytes/sec\n"
    "  3    12    Speex (16 KHz, 16 bit, 1 Qlty) 865 bytes/sec\n"
    "  3    13    Speex (16 KHz, 16 bit, 2 Qlty) 1110 bytes/sec\n"
    "  3    14    Speex (16 KHz, 16 bit, 3 Qlty) 1355 bytes/sec\n"
    "  3    15    Speex (16 KHz, 16 bit, 4 Qlty) 1698 bytes/sec\n"
    "  3    16    Speex (16 KHz, 16 bit, 5 Qlty) 2188 bytes/sec\n"
    "  3    17    Speex (16 KHz, 16 bit, 6 Qlty) 2678 bytes/sec\n"
    "  3    18    Speex (16 KHz, 16 bit, 7 Qlty) 3070 bytes/sec\n"
    "  3    19    Speex (16 KHz, 16 bit, 8 Qlty) 3560 bytes/sec\n"
    "  3    20    Speex (16 KHz, 16 bit, 9 Qlty) 4344 bytes/sec\n"
    "  3    21    Speex (16 KHz, 16 bit, 10 Qlty) 5324 bytes/sec\n"
    "  3    22    Speex (32 KHz, 16 bit, 0 Qlty) 669 bytes/sec\n"
    "  3    23    Speex (32 KHz, 16 bit, 1 Qlty) 1061 bytes/sec\n"
    "  3    24    Speex (32 KHz, 16 bit, 2 Qlty) 1306 bytes/sec\n"
    "  3    25    Speex (32 KHz, 16 bit, 3 Qlty) 1551 bytes/sec\n"
    "  3    26    Speex (32 KHz, 16 bit, 4 Qlty) 1943 bytes/sec\n"
    "  3    27    Speex (32 KHz, 16 bit, 5 Qlty) 2433 bytes/sec\n"
    "  3    28    Speex (32 KHz, 16 bit, 6 Qlty) 2874 bytes/sec\n"
    "  3    29    Speex (32 KHz, 16 bit, 7 Qlty) 3266 bytes/sec\n"
    "  3    30    Speex (32 KHz, 16 bit, 8 Qlty) 3756 bytes/sec\n"
    "  3    31    Speex (32 KHz, 16 bit, 9 Qlty) 4540 bytes/sec\n"
    "  3    32    Speex (32 KHz, 16 bit, 10 Qlty) 5520 bytes/sec\n";

const std::string kIllegalPrefix = "ERROR: Illegal usage of '-F' commandline parameter.\n";

// Texts of the log lines, without their time stamps.
std::vector<std::string> LogTexts(const std::string& log) {
  std::vector<std::string> texts;
  std::istringstream lines(log);
  std::string line;
  const std::regex stamp(R"(^\d{8} \d{2}:\d{2}:\d{2} )");
  while (std::getline(lines, line)) {
    EXPECT_TRUE(std::regex_search(line, stamp)) << line;
    texts.push_back(line.size() >= 18 ? line.substr(18) : line);
  }
  return texts;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Switches that end the program before it reads any file.
TEST(StartupSwitches, PrintedTextAndExitStatusOne) {
  const std::string longPrefix(1020, 'p');
  struct Case {
    std::vector<std::string> args;
    std::string output;
  };
  const std::vector<Case> cases = {
      {{"-?"}, kUsage},
      {{"-h"}, kUsage},
      {{"-H"}, kUsage},
      {{"-help", "-z"}, kUsage},  // only the second character counts
      {{"-?", "-fother"}, kUsage},
      {{"-z"}, "Unknown switch: '-z'\n" + kUsage},
      {{"-"}, "Unknown switch: '-'\n" + kUsage},
      {{"-d", "-Zebra"}, "Unknown switch: '-Zebra'\n" + kUsage},
      {{"-F"}, kIllegalPrefix},
      {{"-f"}, kIllegalPrefix},
      {{"-fok", "-f"}, kIllegalPrefix},
      // Its names would not fit 1023 characters.
      {{"-f" + longPrefix}, kIllegalPrefix},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
    ServerProcess server;
    server.WriteSettings();
    ASSERT_TRUE(server.Start(c.args));
    EXPECT_EQ(server.WaitExit(), 1);
    EXPECT_EQ(server.Stdout(), c.output);
    EXPECT_FALSE(server.Exists("kestrune_srv.log"));
    EXPECT_FALSE(server.Exists("kestrune_srv.pid"));
  }
}

// In-process: switches whose effect no file shows.
TEST(StartupSwitches, SaveDelayAndDaemonFlag) {
  struct Case {
    std::vector<std::string> args;
    int saveDelay;
    bool daemon;
  };
  const std::vector<Case> cases = {
      {{}, 60, false},
      {{"-u5"}, 10, false},
      {{"-u99999"}, 3600, false},
      {{"-U120"}, 120, false},
      {{"-u"}, 10, false},
      {{"-uabc"}, 10, false},
      {{"-u3600", "-D"}, 3600, true},
      {{"-dx", "-u10"}, 10, true},
  };
  for (const Case& c : cases) {
    std::vector<std::string> text = {"kestrune_srv"};
    text.insert(text.end(), c.args.begin(), c.args.end());
    std::vector<char*> argv;
    for (std::string& arg : text) argv.push_back(arg.data());
    argv.push_back(nullptr);
    Server server;
    EXPECT_EQ(ProcessSwitches(server, static_cast<int>(text.size()), argv.data()), -1);
    EXPECT_EQ(server.accountSaveDelay, c.saveDelay) << text.back();
    EXPECT_EQ(server.daemon, c.daemon) << text.back();
    EXPECT_EQ(server.files().settings, "kestrune_srv.ini");
  }
}

TEST(StartupSwitches, PrefixNamesMustFit1023Characters) {
  FileNames files;
  EXPECT_EQ(files.guestMotd, "kestrune_srv.gmotd");
  EXPECT_TRUE(files.SetPrefix(std::string(1017, 'p')));
  EXPECT_EQ(files.guestMotd.size(), 1023u);
  EXPECT_EQ(files.ranks, std::string(1017, 'p') + ".rank");
  EXPECT_FALSE(files.SetPrefix(std::string(1018, 'q')));
  EXPECT_EQ(files.guestMotd.size(), 1023u);  // unchanged
  EXPECT_TRUE(files.SetPrefix("/srv/k/3784"));
  const std::vector<std::string> names = {
      files.settings, files.accounts, files.log,       files.bans,       files.pid,
      files.channels, files.motd,     files.guestMotd, files.properties, files.ranks};
  EXPECT_EQ(names, (std::vector<std::string>{
                       "/srv/k/3784.ini", "/srv/k/3784.usr", "/srv/k/3784.log", "/srv/k/3784.ban",
                       "/srv/k/3784.pid", "/srv/k/3784.chn", "/srv/k/3784.motd",
                       "/srv/k/3784.gmotd", "/srv/k/3784.prop", "/srv/k/3784.rank"}));
}

TEST(StartupRun, ForegroundRunAndStopBySignal) {
  for (int signalNumber : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signalNumber);
    ServerProcess server;
    server.WriteSettings("Name=Signal Test\nAuth=0\n");
    // Accepted switches without effect, and arguments that are not switches.
    ASSERT_TRUE(server.Start({"-i", "-r", "-s", "-x", "-w", "-u5", "plain"}));
    ASSERT_TRUE(server.WaitForLog("READY:"));
    EXPECT_EQ(server.ReadFile("kestrune_srv.pid"), std::to_string(server.Pid()));

    ASSERT_TRUE(server.Signal(signalNumber));
    EXPECT_EQ(server.WaitExit(), 0);
    EXPECT_FALSE(server.Exists("kestrune_srv.pid"));
    const std::vector<std::string> texts = LogTexts(server.Log());
    ASSERT_GE(texts.size(), 3u);
    EXPECT_EQ(texts[texts.size() - 3], "READY:");
    EXPECT_EQ(texts[texts.size() - 2], "END: Shutting down the server.");
    EXPECT_TRUE(std::regex_match(
        texts.back(), std::regex(R"(END: Shutdown complete\. Uptime was 0 00:00:0\d\.)")))
        << texts.back();
    EXPECT_EQ(server.Stderr(), "");
    // Banner first, then the console echo of the log without time stamps.
    const std::string out = server.Stdout();
    EXPECT_EQ(out.rfind("Kestrune Server - Public - Version 3.0.2\n", 0), 0u);
    EXPECT_TRUE(Contains(out, "\nName              = Signal Test\n"));
    EXPECT_TRUE(Contains(out, "\nREADY:\n"));
  }
}

TEST(StartupRun, LogAndConsoleHoldTheSettingsDump) {
  ServerProcess server;
  server.WriteFile("kestrune_srv.ini",
                   "[Server]\nName=Dump Test\nAuth=0\nTimeStamp=1\nVoiceCodec=3\nVoiceFormat=32\n"
                   "Port=" +
                       std::to_string(server.Port()) + "\n[Intf]\nAddress=127.0.0.1\n");
  ASSERT_TRUE(server.StartReady());
  const std::vector<std::string> texts = LogTexts(server.Log());
  ASSERT_FALSE(texts.empty());
  const std::string warning = texts[0];
  EXPECT_EQ(warning.rfind("WARNING: ", 0), 0u);
  EXPECT_TRUE(Contains(warning, "[Intf]"));
  const std::vector<std::string> expected = {
      warning,
      "Version           = 3.0.2",
      "Name              = Dump Test",
      "Phonetic          = ",
      "Auth              = 0",
      "Duplicates        = 0",
      "SendBuffer        = 131072",
      "RecvBuffer        = 131072",
      "LogonTimeout      = 5",
      "CloseStd          = 1",
      "TimeStamp         = 1",
      "PingRate          = 10",
      "ExtraBuffer       = 131072",
      "ChanWidth         = 0",
      "ChanDepth         = 8",
      "ChanClients       = 0",
      "DisableQuit       = 1",
      "VoiceCodec        = 3 (Speex)",
      "VoiceFormat       = 32 (32 KHz, 16 bit, 10 Qlty) - Bytes/Sec 5520",
      "SilentLobby       = 0",
      "AutoKick          = 0",
      "MaxClients        = 8",
      "",
      "",
      "READY:",
  };
  EXPECT_EQ(texts, expected);
  // TimeStamp takes effect on the console as soon as it is read, so the
  // warning that the load gives later already carries it; the banner never
  // does, and the file always has the stamps.
  const std::string out = server.Stdout();
  EXPECT_EQ(out.rfind("Kestrune Server - Public - Version 3.0.2\n", 0), 0u);
  EXPECT_TRUE(std::regex_search(
      out, std::regex(R"(\n\d{8} \d{2}:\d{2}:\d{2} WARNING: [^\n]*\[Intf\][^\n]*\n)")));
  EXPECT_FALSE(Contains(out, "\n" + warning + "\n"));
  EXPECT_TRUE(std::regex_search(out, std::regex(R"(\n\d{8} \d{2}:\d{2}:\d{2} READY:\n)")));
  EXPECT_EQ(server.Stop(), 0);
}

TEST(StartupRun, PrefixSwitchNamesEveryFile) {
  ServerProcess server("mysrv");
  server.WriteSettings();
  ASSERT_TRUE(server.Start({"-fmysrv"}));
  ASSERT_TRUE(server.WaitForLog("READY:"));
  EXPECT_EQ(server.ReadFile("mysrv.pid"), std::to_string(server.Pid()));
  EXPECT_FALSE(server.Exists("kestrune_srv.log"));
  EXPECT_FALSE(server.Exists("kestrune_srv.pid"));
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_FALSE(server.Exists("mysrv.pid"));
  EXPECT_TRUE(Contains(server.Log(), "END: Shutdown complete."));
}

TEST(StartupRun, LaterPrefixReplacesEarlierAndMayHoldAFolder) {
  ServerProcess server("sub/b");
  std::filesystem::create_directory(server.PathOf("sub"));
  server.WriteSettings();
  ASSERT_TRUE(server.Start({"-fa", "-fsub/b"}));
  ASSERT_TRUE(server.WaitForLog("READY:"));
  EXPECT_TRUE(server.Exists("sub/b.pid"));
  EXPECT_FALSE(server.Exists("a.log"));
  ASSERT_TRUE(server.Signal(SIGINT));
  EXPECT_EQ(server.WaitExit(), 0);
}

TEST(StartupRun, ClosedStandardInputIsReopened) {
  ServerProcess server;
  server.WriteSettings();
  ASSERT_TRUE(server.Start({}, ServerProcess::Input::kClosed));
  ASSERT_TRUE(server.WaitForLog("READY:"));
  std::error_code error;
  EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(server.Pid()) + "/fd/0", error),
            "/dev/null");
  EXPECT_EQ(server.Stop(), 0);
}

TEST(StartupRun, AlarmSignalEndsWithStatusOneAndRemovesThePidFile) {
  ServerProcess server;
  server.WriteSettings();
  ASSERT_TRUE(server.StartReady());
  ASSERT_TRUE(server.Signal(SIGALRM));
  EXPECT_EQ(server.WaitExit(), 1);
  EXPECT_FALSE(server.Exists("kestrune_srv.pid"));
  EXPECT_TRUE(Contains(server.Log(), " SIGNAL: ALRM.\n"));
}

TEST(StartupRun, ExampleSettingsStartAServer) {
  // The example file that the README copies, on a free port.
  const auto example = std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() /
                       "examples" / "kestrune_srv.ini";
  std::ifstream in(example);
  ASSERT_TRUE(in.good()) << example;
  ServerProcess server;
  std::string text;
  std::string line;
  bool portSeen = false;
  while (std::getline(in, line)) {
    if (line.rfind("Port=", 0) == 0) {
      line = "Port=" + std::to_string(server.Port());
      portSeen = true;
    }
    text += line + "\n";
  }
  EXPECT_TRUE(portSeen);
  server.WriteFile("kestrune_srv.ini", text);
  ASSERT_TRUE(server.StartReady());
  EXPECT_TRUE(Contains(server.Log(), "Auth              = 0\n"));
  ASSERT_TRUE(server.Signal(SIGINT));
  EXPECT_EQ(server.WaitExit(), 0);
  EXPECT_FALSE(server.Exists("kestrune_srv.pid"));
}

TEST(StartupFailures, SettingsErrorsExitWithStatusTwo) {
  struct Case {
    std::string keys;  // empty: no settings file at all
    std::string message;
  };
  const std::vector<Case> cases = {
      {"", "Unable to open configuration file 'kestrune_srv.ini'."},
      {"Auth=0\n", "Server must have a valid name."},
      {"Name=Test\nPort=0\n", "Port must be >= 1 and <= 65535"},
      {"Name=Test\nPort=70000\n", "Port must be >= 1 and <= 65535"},
      {"Name=Test\nPingRate=0\n", "PingRate must be >= 1 and <= 10"},
      {"Name=Test\nVoiceCodec=3\nVoiceFormat=33\n",
       "VoiceFmt option is invalid for 'Speex' codec."},
      {"Name=Test\nUpdateServer=localhost\n", "Bad UpdateServer specified."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keys);
    ServerProcess server;
    if (!c.keys.empty()) server.WriteSettings(c.keys);
    ASSERT_TRUE(server.Start({}, ServerProcess::Input::kDevNull));
    EXPECT_EQ(server.WaitExit(), 2);
    EXPECT_EQ(LogTexts(server.Log()),
              (std::vector<std::string>{c.message,
                                        "ERROR: Unable to read configuration data. Exiting."}));
    EXPECT_TRUE(Contains(server.Stdout(), "\n" + c.message + "\n"));
    EXPECT_FALSE(server.Exists("kestrune_srv.pid"));
  }
}

TEST(StartupFailures, OverlongNamesExitWithStatusThreeAfterTheDump) {
  const std::string name31(31, 'n');
  struct Case {
    std::string keys;
    std::string message;  // empty: the server starts
  };
  const std::vector<Case> cases = {
      {"Name=" + name31 + "\n", ""},
      {"Name=" + name31 + "x\n", "ERROR: Server name should be 31 characters max."},
      {"Name=ok\nPhonetic=" + name31 + "x\n",
       "ERROR: Server phonetic name should be 31 characters max."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keys);
    ServerProcess server;
    server.WriteSettings(c.keys);
    ASSERT_TRUE(server.Start());
    if (c.message.empty()) {
      ASSERT_TRUE(server.WaitForLog("READY:"));
      EXPECT_EQ(server.Stop(), 0);
      continue;
    }
    EXPECT_EQ(server.WaitExit(), 3);
    const std::vector<std::string> texts = LogTexts(server.Log());
    ASSERT_GE(texts.size(), 4u);
    EXPECT_EQ(texts[texts.size() - 4], "MaxClients        = 8");
    EXPECT_EQ(texts[texts.size() - 3], "");
    EXPECT_EQ(texts[texts.size() - 2], "");
    EXPECT_EQ(texts.back(), c.message);
    EXPECT_FALSE(server.Exists("kestrune_srv.pid"));
  }
}

TEST(StartupFailures, UnwritableFilesGiveTheirStatus) {
  {
    ServerProcess server;
    server.WriteSettings();
    std::filesystem::create_directory(server.PathOf("kestrune_srv.log"));
    ASSERT_TRUE(server.Start());
    EXPECT_EQ(server.WaitExit(), 1);
    EXPECT_TRUE(Contains(server.Stdout(), "\nUnable to open log file 'kestrune_srv.log'.\n"));
  }
  {
    ServerProcess server;
    server.WriteSettings();
    std::filesystem::create_directory(server.PathOf("kestrune_srv.pid"));
    ASSERT_TRUE(server.Start());
    EXPECT_EQ(server.WaitExit(), 11);
    EXPECT_TRUE(Contains(server.Log(),
                         " ERROR: Unable to record server PID to the file 'kestrune_srv.pid'.\n"));
    EXPECT_FALSE(Contains(server.Log(), "READY:"));
  }
}

// A port held by another socket: the TCP listener fails with 12, the UDP one
// with 13; both after the PID file was written, which must be gone again.
TEST(StartupFailures, BusyPortsGiveTheListenerStatus) {
  for (const int type : {SOCK_STREAM, SOCK_DGRAM}) {
    SCOPED_TRACE(type == SOCK_STREAM ? "tcp" : "udp");
    ServerProcess server;
    server.WriteSettings();
    const int holder = socket(AF_INET, type, 0);
    ASSERT_GE(holder, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(server.Port()));
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    if (type == SOCK_STREAM) {
      ASSERT_EQ(listen(holder, 1), 0);
    }
    ASSERT_TRUE(server.Start());
    EXPECT_EQ(server.WaitExit(), type == SOCK_STREAM ? 12 : 13);
    close(holder);
    EXPECT_FALSE(server.Exists("kestrune_srv.pid"));
    const std::string log = server.Log();
    EXPECT_TRUE(Contains(log, "MaxClients        = 8\n"));
    EXPECT_FALSE(Contains(log, "READY:"));
    EXPECT_FALSE(Contains(log, "END:"));
  }
}

TEST(StartupDaemon, ParentExitsOnceThePidFileNamesTheChild) {
  ServerProcess server;
  server.WriteSettings("Name=Daemon Test\nAuth=0\n");
  ASSERT_TRUE(server.Start({"-d"}));
  // The parent sleeps 1 second after writing the PID file.
  EXPECT_EQ(server.WaitExit(5000), 0);
  const std::string pidText = server.ReadFile("kestrune_srv.pid");
  ASSERT_FALSE(pidText.empty());
  const pid_t child = static_cast<pid_t>(std::stol(pidText));
  server.KillAtEnd(child);
  EXPECT_NE(child, server.Pid());
  EXPECT_TRUE(ServerProcess::ProcessAlive(child));
  // CloseStd=1: its standard files end up on /dev/null.
  const std::string fds = "/proc/" + std::to_string(child) + "/fd/";
  EXPECT_TRUE(ServerProcess::WaitUntil(
      [&] {
        std::error_code error;
        return std::filesystem::read_symlink(fds + "1", error) == "/dev/null" &&
               std::filesystem::read_symlink(fds + "0", error) == "/dev/null" &&
               std::filesystem::read_symlink(fds + "2", error) == "/dev/null";
      },
      8000));

  // The child sleeps 3 seconds before it reopens the log.
  ASSERT_TRUE(server.WaitForLog("READY:", 10000));
  EXPECT_EQ(kill(child, SIGTERM), 0);
  EXPECT_TRUE(ServerProcess::WaitUntil([&] { return !ServerProcess::ProcessAlive(child); }, 10000));
  EXPECT_FALSE(server.Exists("kestrune_srv.pid"));
  const std::string log = server.Log();
  EXPECT_TRUE(Contains(log, " END: Shutting down the server.\n"));
  EXPECT_TRUE(Contains(log, " END: Shutdown complete. Uptime was "));
  // Nothing reaches the console in daemon mode.
  EXPECT_EQ(server.Stdout(), "");
  EXPECT_EQ(server.Stderr(), "");
}

TEST(StartupDaemon, ParentThatCannotRecordThePidLeavesNoServerBehind) {
  ServerProcess server;
  server.WriteSettings();
  std::filesystem::create_directory(server.PathOf("kestrune_srv.pid"));
  ASSERT_TRUE(server.Start({"-d"}));
  EXPECT_EQ(server.WaitExit(5000), 10);
  // A child that lived on would log READY: after its 3-second sleep.
  EXPECT_FALSE(server.WaitForLog("READY:", 4500));
}

}  // namespace
}  // namespace kestrune::e2e
