// The two relays the benchmark drives, each in a process of its own so its
// CPU time can be read from /proc: the built kestrune_srv in a temporary
// folder on a free loopback port, and the bare relay in a forked child. Both
// are killed when their object goes away, also on errors.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kestrune::bench {

// The whole file, or empty when it cannot be read.
std::string ReadWhole(const std::string& path);
// The folder of the running program (where the build puts kestrune_srv).
std::string ProgramFolder();

// Nanoseconds the process has spent on a CPU (first field of
// /proc/<pid>/schedstat); none when it cannot be read.
std::optional<std::uint64_t> CpuNanoseconds(pid_t pid);

// A folder under the system's temporary folder, removed with its contents
// when the object goes away unless Keep() was called.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  bool Ok() const { return !path_.empty(); }
  const std::string& Path() const { return path_; }
  void Keep() { keep_ = true; }

 private:
  std::string path_;
  bool keep_ = false;
};

// A relay under test: where to connect, whose CPU to read, which log line
// tells that a client was cut off.
class Relay {
 public:
  virtual ~Relay() = default;
  virtual std::uint16_t Port() const = 0;
  virtual pid_t Pid() const = 0;
  // The relay's log file, read for disconnect lines.
  virtual std::string LogPath() const = 0;
  // True while the process runs.
  bool Alive() const;
};

struct ServerOptions {
  std::string program;  // path of kestrune_srv
  int voiceCodec = 0;
  int voiceFormat = 0;
  std::string extraSettings;                  // more "Key=Value" lines for the [Server] section
  std::string accounts = "[Guest]\nUID=1\n";  // the .usr file
  // More files of the prefix: suffix (".prop", ".chn", ...) and contents.
  std::vector<std::pair<std::string, std::string>> files;
  std::vector<std::string> args;  // command-line switches
};

class ServerRelay : public Relay {
 public:
  ~ServerRelay() override;
  // Writes the settings and accounts into `folder`, starts the program there
  // and waits (at most 10 s) for its ready line. On failure `error` says why.
  bool Start(const std::string& folder, const ServerOptions& options, std::string& error);
  // SIGTERM, then SIGKILL when it has not ended within 5 s. The exit status
  // after SIGTERM (128 + the signal when a signal ended it), or none when it
  // had to be killed or was not running.
  std::optional<int> Stop();
  std::uint16_t Port() const override { return port_; }
  pid_t Pid() const override { return pid_; }
  std::string LogPath() const override { return folder_ + "/kestrune_srv.log"; }
  std::string StderrPath() const { return folder_ + "/stderr"; }
  // A file of the prefix, e.g. ".usr".
  std::string PathOf(const std::string& suffix) const { return folder_ + "/kestrune_srv" + suffix; }

 private:
  std::string folder_;
  std::uint16_t port_ = 0;
  pid_t pid_ = -1;
  int stdinWrite_ = -1;
};

class BareRelayProcess : public Relay {
 public:
  ~BareRelayProcess() override;
  // Listens on a free loopback port and forks the child that serves it; its
  // disconnect lines go to `folder`/bare_relay.log.
  bool Start(const std::string& folder, std::string& error);
  void Stop();
  std::uint16_t Port() const override { return port_; }
  pid_t Pid() const override { return pid_; }
  std::string LogPath() const override { return folder_ + "/bare_relay.log"; }

 private:
  std::string folder_;
  std::uint16_t port_ = 0;
  pid_t pid_ = -1;
};

// Listens on 127.0.0.1:`port` and relays until SIGINT or SIGTERM (the
// bare relay by hand). Returns the process's exit status.
int ServeBareRelay(std::uint16_t port);

}  // namespace kestrune::bench
