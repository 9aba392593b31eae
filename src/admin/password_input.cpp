#include "admin/password_input.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kestrune {

namespace {

// The terminal state to put back when a signal ends the tool mid-line.
struct termios gSavedTerminal;
volatile std::sig_atomic_t gTerminalFd = -1;

void RestoreTerminalAndDie(int signalNumber) {
  if (gTerminalFd >= 0) tcsetattr(gTerminalFd, TCSANOW, &gSavedTerminal);
  signal(signalNumber, SIG_DFL);
  raise(signalNumber);
}

void DropLineEnd(std::string& text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
}

// One line from `fd`, byte by byte so that nothing after it is consumed.
int ReadLine(int fd, std::string& line) {
  line.clear();
  bool any = false;
  for (;;) {
    char c = 0;
    const ssize_t n = read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    any = true;
    if (c == '\n') break;
    line.push_back(c);
  }
  DropLineEnd(line);
  return any ? 0 : -1;
}

}  // namespace

int ReadPasswordLine(int fd, const std::string& prompt, std::string& password) {
  if (!isatty(fd)) return ReadLine(fd, password);
  struct termios quiet;
  if (tcgetattr(fd, &gSavedTerminal) != 0) return ReadLine(fd, password);
  quiet = gSavedTerminal;
  quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
  quiet.c_lflag |= ECHONL;
  gTerminalFd = fd;
  void (*oldInt)(int) = signal(SIGINT, RestoreTerminalAndDie);
  void (*oldTerm)(int) = signal(SIGTERM, RestoreTerminalAndDie);
  // Echo goes off before the prompt shows, so nothing typed after it is seen.
  tcsetattr(fd, TCSAFLUSH, &quiet);
  std::fputs(prompt.c_str(), stderr);
  std::fflush(stderr);
  const int rc = ReadLine(fd, password);
  tcsetattr(fd, TCSAFLUSH, &gSavedTerminal);
  gTerminalFd = -1;
  signal(SIGINT, oldInt);
  signal(SIGTERM, oldTerm);
  return rc;
}

int ReadPasswordFile(const std::string& path, std::string& password) {
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return -1;
  password.clear();
  char buffer[256];
  int rc = -1;
  if (std::fgets(buffer, sizeof buffer, file) != nullptr) {
    password = buffer;
    DropLineEnd(password);
    rc = 0;
  } else if (std::feof(file)) {
    rc = 0;  // an empty file: an empty password
  }
  std::fclose(file);
  return rc;
}

int FindPassword(const std::string& path, const char* variable, std::string& password, bool& given,
                 std::string& error) {
  given = false;
  password.clear();
  if (!path.empty()) {
    if (ReadPasswordFile(path, password) != 0) {
      error = "cannot read password file '" + path + "': " + std::strerror(errno);
      return -1;
    }
    given = true;
    return 0;
  }
  if (const char* value = std::getenv(variable)) {
    password = value;
    given = true;
  }
  return 0;
}

}  // namespace kestrune
