#include "e2e/support/tool_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

namespace kestrune::test {

// Runs the tool with the arguments, collecting both output streams; the
// process is killed if it outlives the limit.
ToolRun RunTool(const std::vector<std::string>& arguments, int limitSeconds) {
  int outPipe[2];
  int errPipe[2];
  EXPECT_EQ(pipe(outPipe), 0);
  EXPECT_EQ(pipe(errPipe), 0);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    close(outPipe[0]);
    close(errPipe[0]);
    const int devNull = open("/dev/null", O_RDONLY);
    dup2(devNull, 0);
    std::vector<char*> argv;
    std::string program = kestrune_status_PATH;
    argv.push_back(program.data());
    std::vector<std::string> copies = arguments;
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);

  ToolRun run;
  const auto deadline = start + std::chrono::seconds(limitSeconds);
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  int open = 2;
  while (open > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ADD_FAILURE() << "kestrune_status did not finish in time";
      kill(pid, SIGKILL);
      break;
    }
    if (poll(fds, 2, static_cast<int>(left.count())) <= 0) continue;
    for (pollfd& p : fds) {
      if (p.fd < 0 || p.revents == 0) continue;
      char buffer[4096];
      const ssize_t n = read(p.fd, buffer, sizeof(buffer));
      if (n <= 0) {
        close(p.fd);
        p.fd = -1;
        --open;
      } else {
        (p.fd == outPipe[0] ? run.out : run.err).append(buffer, static_cast<std::size_t>(n));
      }
    }
  }
  for (pollfd& p : fds) {
    if (p.fd >= 0) close(p.fd);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return run;
}

}  // namespace kestrune::test
