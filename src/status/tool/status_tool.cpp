#include "status/tool/status_tool.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "status/status_packet.h"
#include "util/text.h"

namespace kestrune {
namespace {

constexpr const char* kToolVersion = "3.0.0";
constexpr std::size_t kMaxPasswordLength = 15;
constexpr int kSocketBufferBytes = 131072;

struct Target {
  std::string host;
  std::string password;
  std::uint32_t address = 0;  // host order
  std::uint16_t port = kStatusDefaultPort;
};

struct RunSettings {
  int attempts = 3;
  int commandCode = 0;
  std::uint32_t localAddress = INADDR_ANY;  // network order, as inet_addr gives it
  std::vector<Target> targets;
};

// Closes the tool's one socket on every way out.
class SocketHandle {
 public:
  explicit SocketHandle(int fd) : fd_(fd) {}
  ~SocketHandle() {
    if (fd_ >= 0) close(fd_);
  }
  SocketHandle(const SocketHandle&) = delete;
  SocketHandle& operator=(const SocketHandle&) = delete;
  int Get() const { return fd_; }

 private:
  int fd_;
};

void PrintHelp() {
  std::printf("kestrune_status: Version %s\n", kToolVersion);
  std::printf("Asks Kestrune servers for their status over UDP and prints the replies.\n");
  std::printf("Options:\n");
  std::printf("  -a#     = Number of attempts to perform request. Default = 3.\n");
  std::printf("  -c#     = Command code. 1=General status, 2=Detail status.\n");
  std::printf("  -taddr  = Target address. Can be IP or HOSTNAME.\n");
  std::printf("  -?      = Show this list.\n\n");
  std::printf("Target address format examples. Format = address[:port[:password]]\n\n");
  // The examples are padded so that every '=' stands in column 37.
  std::printf("  %-34s= Assumes port 3784 and no password\n", "-tstatus.example.org");
  std::printf("  %-34s= Assumes no password\n", "-t127.0.0.1:4000");
  std::printf("  %-34s= If you give password you need port\n", "-tstatus.example.org:3784:secret");
}

bool OnlyDigitsAndDots(const std::string& text) {
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c)) && c != '.') return false;
  }
  return true;
}

// Fills target.address; false when the address cannot be resolved.
bool ResolveTarget(Target& target) {
  if (OnlyDigitsAndDots(target.host)) {
    // A malformed dotted address is refused rather than read as
    // 255.255.255.255, which would broadcast the query.
    in_addr parsed{};
    if (inet_aton(target.host.c_str(), &parsed) == 0) return false;
    target.address = ntohl(parsed.s_addr);
    return true;
  }
  const hostent* entry = gethostbyname(target.host.c_str());
  if (entry == nullptr) return false;
  target.address = 0;
  if (entry->h_addrtype == AF_INET && entry->h_length == 4 && entry->h_addr_list != nullptr &&
      entry->h_addr_list[0] != nullptr) {
    in_addr first{};
    std::memcpy(&first, entry->h_addr_list[0], sizeof(first));
    target.address = ntohl(first.s_addr);
  }
  return true;
}

// Parses a -t value of comma-separated address[:port[:password]] pieces and
// appends them; 0 or the exit code of the first failure.
int AddTargets(const char* value, std::vector<Target>& targets) {
  std::string rest = value;
  std::size_t start = 0;
  while (start <= rest.size()) {
    std::size_t comma = rest.find(',', start);
    if (comma == std::string::npos) comma = rest.size();
    std::string piece = rest.substr(start, comma - start);
    start = comma + 1;
    TrimBlanks(piece);
    if (piece.empty()) continue;

    Target target;
    const std::size_t firstColon = piece.find(':');
    target.host = piece.substr(0, firstColon);
    if (firstColon != std::string::npos) {
      const std::string after = piece.substr(firstColon + 1);
      const std::size_t secondColon = after.find(':');
      const std::string portText = after.substr(0, secondColon);
      target.port = static_cast<std::uint16_t>(AtoiRule(portText.c_str()));
      if (secondColon != std::string::npos) target.password = after.substr(secondColon + 1);
    }
    if (target.password.size() > kMaxPasswordLength) {
      std::printf("ERROR: Password length too long. Max len = %d.\n",
                  static_cast<int>(kMaxPasswordLength));
      return kToolTargetOrSocket;
    }
    if (!ResolveTarget(target)) {
      std::printf("ERROR: Unable to resolve hostname '%s'.\n", target.host.c_str());
      return kToolTargetOrSocket;
    }
    targets.push_back(std::move(target));
  }
  return 0;
}

// Handles the options in order; -1 when the run goes on, else the exit code.
int ReadOptions(int argc, char** argv, RunSettings& settings) {
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (argument[0] != '-') continue;
    const char* value = argument + 2;
    switch (std::tolower(static_cast<unsigned char>(argument[1]))) {
      case 'a':
        settings.attempts = AtoiRule(value);
        if (settings.attempts <= 0) {
          std::printf("ERROR: Illegal attempts option '%s'.\n", argument);
          return kToolBadRequest;
        }
        break;
      case 'c':
        settings.commandCode = AtoiRule(value);
        if (settings.commandCode <= 0) {
          std::printf("ERROR: Illegal command code.\n");
          return kToolMissingSetting;
        }
        break;
      case 't': {
        const int rc = AddTargets(value, settings.targets);
        if (rc != 0) return rc;
        break;
      }
      case 'i':
        settings.localAddress = inet_addr(value);
        break;
      case '?':
      case 'h':
        PrintHelp();
        return kToolUsage;
      default:
        // Also catches a lone "-", whose option letter is the terminator.
        std::printf("ERROR: Unknown command line option '%s'.\n", argument);
        return kToolUsage;
    }
  }
  return -1;
}

// Opens the one UDP socket shared by every target; -1 on failure (reported).
int OpenSocket(std::uint32_t localAddress) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    std::printf("ERROR: MainInit: socket() failed rc %d, errno %d\n", fd, errno);
    return -1;
  }
  const int on = 1;
  int rc = setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on));
  if (rc != 0) {
    std::printf("ERROR: MainInit: setsockopt() failed rc = %d, errno %d\n", rc, errno);
    close(fd);
    return -1;
  }
  // Larger buffers keep a long multi-fragment reply from being dropped.
  const int bufferBytes = kSocketBufferBytes;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bufferBytes, sizeof(bufferBytes));
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof(bufferBytes));
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = localAddress;
  local.sin_port = 0;
  rc = bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof(local));
  if (rc != 0) {
    std::printf("ERROR: MainInit: bind() failed rc = %d, errno %d\n", rc, errno);
    close(fd);
    return -1;
  }
  return fd;
}

// Queries one target and prints its answer; 0, or the exit code when the
// request cannot be built.
int QueryTarget(int socket, const Target& target, const RunSettings& settings) {
  std::unique_ptr<StatusPacket> request = StatusPacket::Create(settings.commandCode);
  if (!request) {
    std::printf("ERROR: Failed to create request object.\n");
    return kToolBadRequest;
  }
  if (request->DataShorterThan(kStatusRequestDataLength) &&
      request->SetDataLength(kStatusRequestDataLength) != 0) {
    std::printf("ERROR: Failed to create request data.\n");
    return kToolBadRequest;
  }
  // The password and its NUL fit: it holds at most 15 characters.
  std::memcpy(request->Data(), target.password.c_str(), target.password.size() + 1);

  std::unique_ptr<StatusPacket> answer =
      StatusSendAndWait(socket, target.address, target.port, std::move(request), settings.attempts);
  PrintStatusAnswer(answer.get(), stdout);
  return 0;
}

}  // namespace

void PrintStatusAnswer(const StatusPacket* answer, std::FILE* out) {
  if (answer == nullptr) {
    std::fprintf(out, "ERROR: No response from server.\n");
  } else if (answer->Type() != kStatusReply) {
    std::fprintf(out, "ERROR: Unknown response.\n");
  } else if (answer->DataLength() > 0) {
    // The reply is text up to its first NUL, and never read past its length.
    std::fprintf(out, "%.*s", static_cast<int>(answer->DataLength()),
                 reinterpret_cast<const char*>(answer->Data()));
  }
}

int RunStatusTool(int argc, char** argv) {
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  RunSettings settings;
  const int optionsResult = ReadOptions(argc, argv, settings);
  if (optionsResult >= 0) return optionsResult;

  if (settings.commandCode == 0) {
    std::printf("ERROR: No command code specified.\n");
    return kToolMissingSetting;
  }
  if (settings.targets.empty()) {
    std::printf("ERROR: No targets specified.\n");
    return kToolMissingSetting;
  }
  SocketHandle socket(OpenSocket(settings.localAddress));
  if (socket.Get() < 0) return kToolTargetOrSocket;
  if (settings.commandCode != kStatusGeneralRequest &&
      settings.commandCode != kStatusDetailRequest) {
    std::printf("ERROR: Invalid command code.\n");
    return kToolBadRequest;
  }

  for (std::size_t i = 0; i < settings.targets.size(); ++i) {
    const int rc = QueryTarget(socket.Get(), settings.targets[i], settings);
    if (rc != 0) return rc;
    if (settings.targets.size() > 1 && i + 1 < settings.targets.size()) {
      std::printf("----------\n");
    }
  }
  return kToolDone;
}

}  // namespace kestrune
