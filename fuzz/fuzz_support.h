// Helpers the fuzz targets share: a scratch folder on tmpfs for each process,
// whole-file reads and writes, and loopback UDP sockets.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

namespace kestrune::fuzz {

inline constexpr std::uint32_t kLoopback = 0x7F000001;  // 127.0.0.1

// Stops the run with a message; libFuzzer keeps the input that got here.
[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}
#define FUZZ_CHECK(condition)                               \
  do {                                                      \
    if (!(condition)) ::kestrune::fuzz::Fail(#condition);   \
  } while (0)

// Removes the folders of earlier runs whose process is gone (a crash ends
// a run without its exit handlers).
inline void RemoveStaleScratchDirs() {
  std::error_code ignored;
  const std::string prefix = "kestrune-fuzz-";
  for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ignored)) {
    const std::string name = entry.path().filename().string();
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    const long pid = std::atol(name.c_str() + prefix.size());
    if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
      std::filesystem::remove_all(entry.path(), ignored);
    }
  }
}

// /dev/shm/kestrune-fuzz-<pid>/, made on first use and removed at exit.
inline const std::string& ScratchDir() {
  static const std::string dir = [] {
    RemoveStaleScratchDirs();
    std::string path = "/dev/shm/kestrune-fuzz-" + std::to_string(getpid());
    std::filesystem::create_directories(path);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all("/dev/shm/kestrune-fuzz-" + std::to_string(getpid()), ignored);
    });
    return path;
  }();
  return dir;
}

inline std::string ScratchFile(std::string_view name) {
  return ScratchDir() + "/" + std::string(name);
}

inline void WriteWholeFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  FUZZ_CHECK(out.good());
}

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A non-blocking UDP socket bound to 127.0.0.1 on a free port.
inline int LoopbackUdpSocket(std::uint16_t* port = nullptr) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
  FUZZ_CHECK(fd >= 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(kLoopback);
  FUZZ_CHECK(bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0);
  socklen_t length = sizeof local;
  FUZZ_CHECK(getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0);
  if (port != nullptr) *port = ntohs(local.sin_port);
  return fd;
}

// Reads and drops every datagram waiting on the socket; returns how many.
inline int DrainDatagrams(int fd) {
  int count = 0;
  std::uint8_t buffer[2048];
  while (recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) >= 0) ++count;
  return count;
}

}  // namespace kestrune::fuzz
