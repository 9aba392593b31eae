#include "e2e/support/server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace kestrune::e2e {
namespace {

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Binds a socket of `type` to 127.0.0.1:port (0: any); returns the port or -1.
int BindLoopback(int type, int port) {
  const int fd = socket(AF_INET, type, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  int result = -1;
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    result = ntohs(address.sin_port);
  }
  close(fd);
  return result;
}

// True when a socket of `type` can be bound to port on all local addresses
// (nothing is sent; the socket is closed at once).
bool BindAnyAddress(int type, int port) {
  const int fd = socket(AF_INET, type, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return bound;
}

}  // namespace

ServerProcess::ServerProcess(std::string prefix) : prefix_(std::move(prefix)) {
  std::string pattern = (std::filesystem::temp_directory_path() / "kestrune-e2e-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = pattern;
  dir_ = root_ + "/srv";
  std::filesystem::create_directory(dir_);
  port_ = PickFreePort();
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  for (pid_t pid : adopted_) {
    if (pid > 0) kill(pid, SIGKILL);
  }
  if (stdinWrite_ >= 0) close(stdinWrite_);
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

std::string ServerProcess::PathOf(const std::string& name) const {
  return dir_ + "/" + name;
}

void ServerProcess::WriteFile(const std::string& name, const std::string& contents) const {
  std::ofstream(PathOf(name), std::ios::binary) << contents;
}

std::string ServerProcess::ReadFile(const std::string& name) const {
  return ReadWhole(PathOf(name));
}

bool ServerProcess::Exists(const std::string& name) const {
  std::error_code ignored;
  return std::filesystem::exists(PathOf(name), ignored);
}

void ServerProcess::WriteSettings(const std::string& keys) const {
  WriteFile(prefix_ + ".ini", "[Server]\n" + keys + "Port=" + std::to_string(port_) + "\n");
}

bool ServerProcess::Start(const std::vector<std::string>& args, Input input) {
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    reaped_ = true;
  }
  CloseStdin();
  int pipeFds[2] = {-1, -1};
  if (input == Input::kPipe && pipe2(pipeFds, O_CLOEXEC) != 0) return false;
  const std::string outPath = root_ + "/stdout";
  const std::string errPath = root_ + "/stderr";

  std::vector<std::string> argvText;
  argvText.push_back(kestrune_srv_PATH);
  argvText.insert(argvText.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argvText) argv.push_back(arg.data());
  argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    // Child: only async-signal-safe calls from here on.
    if (chdir(dir_.c_str()) != 0) _exit(127);
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0) _exit(127);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    if (input == Input::kPipe) {
      dup2(pipeFds[0], STDIN_FILENO);
    } else if (input == Input::kDevNull) {
      const int null = open("/dev/null", O_RDONLY);
      if (null < 0) _exit(127);
      dup2(null, STDIN_FILENO);
    } else {
      close(STDIN_FILENO);
    }
    // Only the standard files: a copy of a test's client socket held by the
    // server would hide that client's close from the server it talks to.
    close_range(3, ~0U, 0);
    execv(argv[0], argv.data());
    _exit(127);
  }
  pid_ = pid;
  reaped_ = false;
  if (input == Input::kPipe) {
    close(pipeFds[0]);
    stdinWrite_ = pipeFds[1];
  }
  return true;
}

bool ServerProcess::StartReady(const std::vector<std::string>& args) {
  return Start(args) && WaitForLog("READY:");
}

std::optional<int> ServerProcess::Stop(int timeoutMs) {
  if (!Signal(SIGTERM)) return std::nullopt;
  return WaitExit(timeoutMs);
}

bool ServerProcess::WaitForLog(const std::string& text, int timeoutMs) const {
  return WaitUntil([&] { return Log().find(text) != std::string::npos; }, timeoutMs);
}

std::string ServerProcess::Stdout() const {
  return ReadWhole(root_ + "/stdout");
}
std::string ServerProcess::Stderr() const {
  return ReadWhole(root_ + "/stderr");
}

bool ServerProcess::Signal(int signalNumber) const {
  return pid_ > 0 && !reaped_ && kill(pid_, signalNumber) == 0;
}

std::optional<int> ServerProcess::WaitExit(int timeoutMs) {
  if (pid_ <= 0 || reaped_) return std::nullopt;
  int status = 0;
  const bool done = WaitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeoutMs);
  if (!done) return std::nullopt;
  reaped_ = true;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return std::nullopt;
}

void ServerProcess::WriteStdin(const std::string& text) const {
  if (stdinWrite_ < 0) return;
  ssize_t ignored = write(stdinWrite_, text.data(), text.size());
  (void)ignored;
}

void ServerProcess::CloseStdin() {
  if (stdinWrite_ >= 0) close(stdinWrite_);
  stdinWrite_ = -1;
}

bool ServerProcess::ProcessAlive(pid_t pid) {
  if (pid <= 0 || kill(pid, 0) != 0) return false;
  // A zombie still answers kill(); its state letter says it is gone.
  const std::string stat = ReadWhole("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t paren = stat.rfind(')');
  return paren == std::string::npos || paren + 2 >= stat.size() || stat[paren + 2] != 'Z';
}

int ServerProcess::PickFreePort() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    const int port = BindLoopback(SOCK_STREAM, 0);
    // The server binds every local address: a client socket of another test
    // (or one in TIME_WAIT) on 127.0.0.x with this port would make it fail.
    if (port > 0 && port != 3784 && BindLoopback(SOCK_DGRAM, port) == port &&
        BindAnyAddress(SOCK_STREAM, port) && BindAnyAddress(SOCK_DGRAM, port)) {
      return port;
    }
  }
  throw std::runtime_error("no free port");
}

bool ServerProcess::WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (true) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace kestrune::e2e
