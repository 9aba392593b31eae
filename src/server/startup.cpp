#include "server/startup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <string>

#include "config/settings.h"
#include "server/loop.h"
#include "server/server.h"
#include "server/services.h"
#include "util/checksum.h"
#include "util/text.h"

namespace kestrune {
namespace {

constexpr const char* kBannerNotice = "A voice-chat server for small groups.";
constexpr int kMinSaveDelay = 10;
constexpr int kMaxSaveDelay = 3600;

// What the fatal-signal handler needs, set at start-up: it cannot reach the
// Server object safely.
int fatalLogDescriptor = -1;
bool fatalConsoleEcho = true;
bool fatalConsoleStamp = false;
int fatalDiag = 0;
char fatalPidPath[FileNames::kMaxPath + 1] = {};

void SetFatalPidPath(const std::string& path) {
  std::strncpy(fatalPidPath, path.c_str(), sizeof fatalPidPath - 1);
  fatalPidPath[sizeof fatalPidPath - 1] = '\0';
}

// Writes one log line with plain system calls (signal context).
void FatalLogLine(const char* text) {
  char line[128];
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  int length;
  if (localtime_r(&now, &local) != nullptr) {
    length = std::snprintf(line, sizeof line, "%04d%02d%02d %02d:%02d:%02d %s\n",
                           local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                           local.tm_min, local.tm_sec, text);
  } else {
    length = std::snprintf(line, sizeof line, "???????? ??:??:?? %s\n", text);
  }
  if (length < 0) return;
  const std::size_t size = std::min(static_cast<std::size_t>(length), sizeof line - 1);
  if (fatalLogDescriptor >= 0) {
    ssize_t ignored = write(fatalLogDescriptor, line, size);
    (void)ignored;
  }
  if (fatalConsoleEcho) {
    // Without TimeStamp the console shows the text alone.
    const std::size_t skip = fatalConsoleStamp ? 0 : std::strlen("YYYYMMDD hh:mm:ss ");
    ssize_t ignored = write(STDOUT_FILENO, line + skip, size - skip);
    (void)ignored;
  }
}

extern "C" void HandleSignal(int signalNumber) {
  switch (signalNumber) {
    case SIGINT:
      stopInterrupt = 1;
      break;
    case SIGTERM:
      stopTerminate = 1;
      break;
    case SIGALRM:
      FatalLogLine("SIGNAL: ALRM.");
      if (fatalPidPath[0] != '\0') unlink(fatalPidPath);
      _exit(1);
    case SIGSEGV:
      FatalLogLine("SIGNAL: SEGV.");
      if (fatalPidPath[0] != '\0') unlink(fatalPidPath);
      _exit(1);
    default:
      if (fatalDiag != 0) {
        char text[48];
        std::snprintf(text, sizeof text, "SIGNAL: Unknown %d", signalNumber);
        FatalLogLine(text);
      }
      break;
  }
}

void InstallSignalHandlers() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);

  // No SA_RESTART: a stop signal should cut the loop's wait short.
  struct sigaction action {};
  action.sa_handler = HandleSignal;
  sigemptyset(&action.sa_mask);
  for (int signalNumber : {SIGINT, SIGTERM, SIGALRM, SIGSEGV}) {
    sigaction(signalNumber, &action, nullptr);
  }
}

// 0 written; -1 with the log line when the file cannot be written.
int WritePidFile(const std::string& path, unsigned processId, Log& log) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) {
    log.Write("ERROR: Unable to record server PID to the file '%s'.", path.c_str());
    return -1;
  }
  const bool written = std::fprintf(file, "%u", processId) > 0;
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    log.Write("ERROR: Unable to record server PID to the file '%s'.", path.c_str());
    unlink(path.c_str());
    return -1;
  }
  return 0;
}

void RemovePidFile(Server& server) {
  unlink(server.files().pid.c_str());
}

void PrintIllegalPrefix() {
  std::printf("ERROR: Illegal usage of '-F' commandline parameter.\n");
}

}  // namespace

int ProcessSwitches(Server& server, int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (argument[0] != '-') continue;
    const char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(argument[1])));
    const char* rest = argument[1] != '\0' ? argument + 2 : argument + 1;
    switch (letter) {
      case '?':
      case 'h':
        PrintUsage(stdout);
        return kExitUsage;
      case 'd':
        server.daemon = true;
        break;
      case 'f':
        if (rest[0] == '\0' || !server.files().SetPrefix(rest)) {
          PrintIllegalPrefix();
          return kExitUsage;
        }
        break;
      case 'u': {
        int delay = AtoiRule(rest);
        if (delay < kMinSaveDelay) delay = kMinSaveDelay;
        if (delay > kMaxSaveDelay) delay = kMaxSaveDelay;
        server.accountSaveDelay = delay;
        break;
      }
      case 'i':
      case 'r':
      case 's':
      case 'x':
      case 'w':
        break;
      default:
        std::printf("Unknown switch: '%s'\n", argument);
        PrintUsage(stdout);
        return kExitUsage;
    }
  }
  return -1;
}

namespace {

// The daemon fork. -1 in the child (start-up goes on); otherwise the status
// the process exits with.
int BecomeDaemon(Server& server) {
  Log& log = server.log();
  log.Close();
  fatalLogDescriptor = -1;
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) {
    if (log.Open(server.files().log) == 0) fatalLogDescriptor = log.Descriptor();
    log.Write("ERROR: Failed to fork deamon.");
    return kExitFork;
  }
  if (child > 0) {
    // The log is open again only so that a failure can be recorded.
    log.Open(server.files().log);
    const int written = WritePidFile(server.files().pid, static_cast<unsigned>(child), log);
    log.Close();
    if (written != 0) {
      // Nobody could find or stop a child without its PID file.
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
      return kExitDaemonPid;
    }
    sleep(1);
    return kExitOk;
  }
  server.processId = static_cast<unsigned>(getpid());
  setsid();
  sleep(3);
  if (log.Open(server.files().log) == 0) fatalLogDescriptor = log.Descriptor();
  SetFatalPidPath(server.files().pid);
  if (server.settings().closeStd != 0) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
      log.Write("WARNING: Daemon was unable to open /dev/null.");
    }
    if (std::freopen("/dev/null", "w", stdin) == nullptr) {
      log.Write("WARNING: Daemon was unable to open /dev/null.");
    }
    if (std::freopen("/dev/null", "w", stderr) == nullptr) {
      log.Write("WARNING: Daemon was unable to open /dev/null.");
    }
  }
  return -1;
}

int Shutdown(Server& server) {
  Log& log = server.log();
  log.Write("END: Shutting down the server.");
  try {
    server.SaveStores();
    server.CloseConnections();
    CloseListeners(server);
  } catch (const std::exception&) {
    log.Write("ERROR: Shutdown sequence encounterd an error.");
  } catch (...) {
    log.Write("ERROR: Shutdown sequence encounterd an error.");
  }
  const std::time_t now = server.clock().WallSeconds();
  const auto uptime =
      static_cast<std::uint32_t>(now > server.startTime ? now - server.startTime : 0);
  log.Write("END: Shutdown complete. Uptime was %s.", FormatDuration(uptime).c_str());
  RemovePidFile(server);
  return kExitOk;
}

}  // namespace

void OpenStandardDescriptors() {
  for (int descriptor = 0; descriptor <= 2; ++descriptor) {
    if (fcntl(descriptor, F_GETFD) != -1) continue;
    // open() takes the lowest free descriptor, which is this one.
    const int opened = open("/dev/null", O_RDWR);
    if (opened >= 0 && opened != descriptor) close(opened);
  }
}

void PrintUsage(std::FILE* out) {
  std::fprintf(out, "%s - %s\n\n", kServerTitle, kServerVersion);
  std::fprintf(out, "Command line options:\n\n");
  std::fprintf(out, "  -f  = Path and Filename prefixing i.e. -f/kestrune/3784\n");
  std::fprintf(out, "        Where the 3784 would denote a port number and the program will\n");
  std::fprintf(out,
               "        append extensions like: .ini .ban .log .pid to the path and prefix.\n");
  std::fprintf(out, "\n");
  std::fprintf(out, "  -d  = Enable daemon mode.\n");
  std::fprintf(out, "\n");
  std::fprintf(out, "Codec Format Description:\n");
  for (int c = 0; c < CodecCount(); ++c) {
    const CodecRecord* codec = CodecByNumber(c);
    for (std::size_t f = 0; f < codec->formats.size(); ++f) {
      const FormatRecord& format = codec->formats[f];
      std::fprintf(out, "%3d   %3d    %s (%s) %d bytes/sec\n", c, static_cast<int>(f),
                   codec->name.c_str(), format.description.c_str(), format.bytesPerSecond);
    }
  }
  std::fflush(out);
}

int RunServer(Server& server, int argc, char** argv) {
  Log& log = server.log();

  // 1. Tables start empty; seed the generator.
  std::srand(static_cast<unsigned>(std::time(nullptr)));

  // 2. Self-checks.
  if (CheckTypeSizes() != 0) return kExitUsage;
  if (sizeof(std::int64_t) != 8) {
    std::printf("64bit error = %d rather then 8.\n", static_cast<int>(sizeof(std::int64_t)));
    return kExitInt64;
  }
  if (ChecksumSelfTest() != 0) return kExitUsage;

  // 3.
  umask(027);
  server.processId = static_cast<unsigned>(getpid());

  // 4.
  const int switchStatus = ProcessSwitches(server, argc, argv);
  if (switchStatus >= 0) return switchStatus;
  log.SetDaemon(server.daemon);
  fatalConsoleEcho = !server.daemon;

  // 5.
  if (!server.daemon) {
    std::printf("%s - Version %s\n%s\n\n", kServerTitle, kServerVersion, kBannerNotice);
    std::fflush(stdout);
  }

  // 6.
  if (log.Open(server.files().log) != 0) return kExitUsage;
  fatalLogDescriptor = log.Descriptor();

  // 7. Its result does not matter.
  server.LoadServerProperties();

  // 8.
  const int settingsResult = server.LoadSettings();
  ServerSettings& settings = server.settings();
  log.SetTimeStamp(settings.timeStamp != 0);
  fatalDiag = settings.diag;
  fatalConsoleStamp = settings.timeStamp != 0;
  if (settingsResult != 0) {
    log.Write("ERROR: Unable to read configuration data. Exiting.");
    return kExitSettings;
  }

  // 9.
  if (CreateListenerRecords(server) != 0) {
    log.Write("ERROR: Interface intialization failed. Exiting.");
    return kExitSettings;
  }

  // 10.
  InstallSignalHandlers();

  // 11.
  settings.Dump(log, kServerVersion);

  // 12.
  if (settings.name.size() > ServerSettings::kMaxNameLength) {
    log.Write("ERROR: Server name should be %d characters max.",
              static_cast<int>(ServerSettings::kMaxNameLength));
    return kExitNameLength;
  }
  if (settings.phonetic.size() > ServerSettings::kMaxNameLength) {
    log.Write("ERROR: Server phonetic name should be %d characters max.",
              static_cast<int>(ServerSettings::kMaxNameLength));
    return kExitNameLength;
  }

  // 13. Its result does not matter.
  server.LoadBans();

  // 14.
  if (server.daemon) {
    const int daemonStatus = BecomeDaemon(server);
    if (daemonStatus >= 0) return daemonStatus;
  } else {
    if (WritePidFile(server.files().pid, server.processId, log) != 0) return kExitPid;
    SetFatalPidPath(server.files().pid);
  }

  // 15.
  std::srand(server.clock().NowMs());
  server.startTime = server.clock().WallSeconds();
  server.datagram.fill(0);

  // 16.
  if (OpenTcpListeners(server) != 0) {
    RemovePidFile(server);
    return kExitTcpListener;
  }
  if (OpenUdpListeners(server) != 0) {
    RemovePidFile(server);
    return kExitUdpListener;
  }

  // 17.
  server.PrepareUpdateCheck();
  server.LoadRanks();
  if (server.LoadAccounts() != 0) {
    RemovePidFile(server);
    return kExitSettings;
  }

  // Handlers plug into the loop here and leave it when RunServer returns,
  // after the loop and the shutdown.
  ServerServices services(server, ConsoleSwitches{
                                      [](int value) { fatalDiag = value; },
                                      [](int value) { fatalConsoleStamp = value != 0; },
                                  });

  // 18.
  log.Write("READY:");
  try {
    ServerLoop(server);
  } catch (...) {
    log.Write("ERROR: ServerLoop exception detected. Aborting.");
    RemovePidFile(server);
    return kExitLoopException;
  }
  return Shutdown(server);
}

}  // namespace kestrune
