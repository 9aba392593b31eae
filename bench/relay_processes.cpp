#include "bench/relay_processes.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "bench/bare_relay.h"

namespace kestrune::bench {
namespace {

bool WriteWhole(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  return static_cast<bool>(out);
}

sockaddr_in Address(std::uint32_t host, std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(host);
  address.sin_port = htons(port);
  return address;
}

// Binds a socket of `type` to host:port (port 0: any); the bound port or -1.
int TryBind(int type, std::uint32_t host, int port) {
  const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address = Address(host, static_cast<std::uint16_t>(port));
  socklen_t length = sizeof address;
  int result = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    result = ntohs(address.sin_port);
  }
  close(fd);
  return result;
}

// A port free for TCP and UDP on loopback and on all addresses, as the server
// binds both on every address.
int PickServerPort() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    const int port = TryBind(SOCK_STREAM, INADDR_LOOPBACK, 0);
    if (port > 0 && port != 3784 && TryBind(SOCK_DGRAM, INADDR_LOOPBACK, port) == port &&
        TryBind(SOCK_STREAM, INADDR_ANY, port) == port &&
        TryBind(SOCK_DGRAM, INADDR_ANY, port) == port) {
      return port;
    }
  }
  return -1;
}

// Waits at most `timeoutMs` for `pid` to end; true once it is reaped, with
// its wait status in `status` (-1 when another waiter took it).
bool WaitGone(pid_t pid, int timeoutMs, int* status = nullptr) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int raw = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &raw, WNOHANG);
    if (status != nullptr) *status = done == pid ? raw : -1;
    if (done == pid || (done < 0 && errno == ECHILD)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// The exit status after SIGTERM, or none when it had to be killed.
std::optional<int> EndProcess(pid_t& pid) {
  if (pid <= 0) return std::nullopt;
  kill(pid, SIGTERM);
  int status = -1;
  std::optional<int> result;
  if (WaitGone(pid, 5000, &status)) {
    if (WIFEXITED(status)) result = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result = 128 + WTERMSIG(status);
  } else {
    kill(pid, SIGKILL);
    WaitGone(pid, 5000);
  }
  pid = -1;
  return result;
}

volatile std::sig_atomic_t bareStop = 0;

void OnBareStop(int) {
  bareStop = 1;
}

// The child's side: plain signal handling of its own, then the loop.
[[noreturn]] void BareRelayChild(int listenFd, const std::string& logPath) {
  struct sigaction action {};
  action.sa_handler = OnBareStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  BareRelayOptions options;
  options.logPath = logPath;
  const int result = RunBareRelay(listenFd, options, bareStop);
  close(listenFd);
  _exit(result == 0 ? 0 : 1);
}

int ListenLoopback(std::uint16_t port, std::uint16_t& bound) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address = Address(INADDR_LOOPBACK, port);
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 64) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    return -1;
  }
  bound = ntohs(address.sin_port);
  return fd;
}

}  // namespace

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string ProgramFolder() {
  std::vector<char> path(4096);
  const ssize_t n = readlink("/proc/self/exe", path.data(), path.size() - 1);
  if (n <= 0) return ".";
  const std::string text(path.data(), static_cast<std::size_t>(n));
  const std::size_t slash = text.rfind('/');
  return slash == std::string::npos ? "." : text.substr(0, slash);
}

std::optional<std::uint64_t> CpuNanoseconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
  std::uint64_t ns = 0;
  if (!(in >> ns)) return std::nullopt;
  return ns;
}

TempFolder::TempFolder() {
  std::error_code error;
  std::string pattern =
      (std::filesystem::temp_directory_path(error) / "kestrune-bench-XXXXXX").string();
  if (!error && mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempFolder::~TempFolder() {
  if (path_.empty() || keep_) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

bool Relay::Alive() const {
  const pid_t pid = Pid();
  if (pid <= 0 || kill(pid, 0) != 0) return false;
  const std::string stat = ReadWhole("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t paren = stat.rfind(')');
  return paren == std::string::npos || paren + 2 >= stat.size() || stat[paren + 2] != 'Z';
}

ServerRelay::~ServerRelay() {
  Stop();
}

bool ServerRelay::Start(const std::string& folder, const ServerOptions& options,
                        std::string& error) {
  folder_ = folder;
  const int port = PickServerPort();
  if (port < 0) {
    error = "no free port";
    return false;
  }
  port_ = static_cast<std::uint16_t>(port);
  // No log-on time-out and the slowest ping, so neither closes a benchmark
  // client; every client logs in as a guest from its own address.
  const std::string settings = "[Server]\n" + options.extraSettings +
                               "Name=Kestrune Bench\nAuth=0\nLogonTimeout=0\nPingRate=10\n"
                               "VoiceCodec=" +
                               std::to_string(options.voiceCodec) +
                               "\nVoiceFormat=" + std::to_string(options.voiceFormat) +
                               "\nPort=" + std::to_string(port) + "\n";
  bool written = WriteWhole(folder + "/kestrune_srv.ini", settings) &&
                 WriteWhole(folder + "/kestrune_srv.usr", options.accounts);
  for (const auto& [suffix, contents] : options.files) {
    written = written && WriteWhole(folder + "/kestrune_srv" + suffix, contents);
  }
  if (!written) {
    error = "cannot write the settings in " + folder;
    return false;
  }
  if (access(options.program.c_str(), X_OK) != 0) {
    error = "no server program at " + options.program;
    return false;
  }

  // Standard input is a pipe that stays open and silent, so the server never
  // finds it readable.
  int pipeFds[2] = {-1, -1};
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    error = "pipe failed";
    return false;
  }
  const std::string outPath = folder + "/stdout";
  const std::string errPath = folder + "/stderr";
  std::string program = options.program;
  std::vector<std::string> args = options.args;
  std::vector<char*> argv = {program.data()};
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    close(pipeFds[0]);
    close(pipeFds[1]);
    error = "fork failed";
    return false;
  }
  if (pid == 0) {
    if (chdir(folder.c_str()) != 0) _exit(127);
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0) _exit(127);
    dup2(pipeFds[0], STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    close_range(3, ~0U, 0);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(pipeFds[0]);
  stdinWrite_ = pipeFds[1];
  pid_ = pid;

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (ReadWhole(LogPath()).find("READY:") == std::string::npos) {
    if (!Alive() || std::chrono::steady_clock::now() >= deadline) {
      error = "the server did not get ready; its log:\n" + ReadWhole(LogPath()) +
              "\nits standard error:\n" + ReadWhole(errPath);
      Stop();
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::optional<int> ServerRelay::Stop() {
  const std::optional<int> status = EndProcess(pid_);
  if (stdinWrite_ >= 0) close(stdinWrite_);
  stdinWrite_ = -1;
  return status;
}

BareRelayProcess::~BareRelayProcess() {
  Stop();
}

bool BareRelayProcess::Start(const std::string& folder, std::string& error) {
  folder_ = folder;
  const int listenFd = ListenLoopback(0, port_);
  if (listenFd < 0) {
    error = "cannot listen on loopback";
    return false;
  }
  const std::string logPath = LogPath();
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    close(listenFd);
    error = "fork failed";
    return false;
  }
  if (pid == 0) BareRelayChild(listenFd, logPath);
  close(listenFd);
  pid_ = pid;
  return true;
}

void BareRelayProcess::Stop() {
  EndProcess(pid_);
}

int ServeBareRelay(std::uint16_t port) {
  std::uint16_t bound = 0;
  const int listenFd = ListenLoopback(port, bound);
  if (listenFd < 0) {
    std::fprintf(stderr, "cannot listen on 127.0.0.1:%u\n", port);
    return 1;
  }
  std::printf("bare relay on 127.0.0.1:%u\n", bound);
  std::fflush(stdout);
  BareRelayChild(listenFd, "/dev/stderr");
}

}  // namespace kestrune::bench
