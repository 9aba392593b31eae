// Runs the built kestrune_srv in a temporary folder of its own, for tests that
// drive the real program. Everything it starts is killed and the folder is
// removed when the object goes away.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kestrune::e2e {

class ServerProcess {
 public:
  // Settings keys that start a server as they are.
  static constexpr const char* kBasicKeys = "Name=Test Server\nAuth=0\n";

  enum class Input { kPipe, kDevNull, kClosed };

  // Makes the folder and picks a free loopback port. `prefix` is the file
  // prefix the helpers below read and write (the server's own default).
  explicit ServerProcess(std::string prefix = "kestrune_srv");
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // The server's working folder, and a path inside it.
  const std::string& Dir() const { return dir_; }
  std::string PathOf(const std::string& name) const;
  int Port() const { return port_; }
  const std::string& Prefix() const { return prefix_; }

  void WriteFile(const std::string& name, const std::string& contents) const;
  // Empty when the file is missing.
  std::string ReadFile(const std::string& name) const;
  bool Exists(const std::string& name) const;

  // Writes PREFIX.ini: "[Server]", then `keys` (the first match of a key
  // counts, so they override what follows), then "Port=<free port>".
  void WriteSettings(const std::string& keys = kBasicKeys) const;

  // Starts the server in the folder with these arguments (program name not
  // included). Standard output and error go to files read by Stdout/Stderr.
  // A process from an earlier Start that still runs is killed first.
  bool Start(const std::vector<std::string>& args = {}, Input input = Input::kPipe);
  // Start, then wait for "READY:" in the log.
  bool StartReady(const std::vector<std::string>& args = {});
  // SIGTERM, then WaitExit: 0 after a clean shutdown.
  std::optional<int> Stop(int timeoutMs = 10000);

  // True once the log (PREFIX.log) holds `text`; false after `timeoutMs`.
  bool WaitForLog(const std::string& text, int timeoutMs = 10000) const;
  std::string Log() const { return ReadFile(prefix_ + ".log"); }
  std::string Stdout() const;
  std::string Stderr() const;

  pid_t Pid() const { return pid_; }
  bool Signal(int signalNumber) const;
  // The exit status (0-255), or 128 + the signal that ended it; nothing when
  // the process still runs after `timeoutMs`.
  std::optional<int> WaitExit(int timeoutMs = 10000);
  void WriteStdin(const std::string& text) const;
  void CloseStdin();

  // Another process (a daemon child) to kill at the end.
  void KillAtEnd(pid_t pid) { adopted_.push_back(pid); }

  // True while `pid` exists and is not a zombie.
  static bool ProcessAlive(pid_t pid);
  // A port that is free for both TCP and UDP right now, on 127.0.0.1 and on
  // all addresses (as the server binds it).
  static int PickFreePort();
  // Polls `condition` every 20 ms; false after `timeoutMs`.
  static bool WaitUntil(const std::function<bool()>& condition, int timeoutMs);

 private:
  std::string root_;
  std::string dir_;
  std::string prefix_;
  int port_ = 0;
  pid_t pid_ = -1;
  bool reaped_ = false;
  int stdinWrite_ = -1;
  std::vector<pid_t> adopted_;
};

}  // namespace kestrune::e2e
