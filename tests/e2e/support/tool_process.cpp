#include "e2e/support/tool_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace kestrune::test {

ToolRun RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                   const ToolInput& input, int limitSeconds) {
  int outPipe[2];
  int errPipe[2];
  int inPipe[2];
  EXPECT_EQ(pipe(outPipe), 0);
  EXPECT_EQ(pipe(errPipe), 0);
  EXPECT_EQ(pipe(inPipe), 0);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    dup2(inPipe[0], 0);
    close(outPipe[0]);
    close(errPipe[0]);
    close(inPipe[1]);
    for (const char* name : {"KESTRUNE_PASSWORD", "KESTRUNE_ADMIN_PASSWORD", "KESTRUNE_NEW_PASSWORD"}) {
      unsetenv(name);
    }
    for (const std::string& entry : input.environment) {
      const std::size_t equals = entry.find('=');
      setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
    }
    std::vector<char*> argv;
    std::string path = program;
    argv.push_back(path.data());
    std::vector<std::string> copies = arguments;
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(path.c_str(), argv.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  close(inPipe[0]);
  // Small inputs fit the pipe: write them all, then end the input.
  if (!input.stdinText.empty()) {
    EXPECT_EQ(write(inPipe[1], input.stdinText.data(), input.stdinText.size()),
              static_cast<ssize_t>(input.stdinText.size()));
  }
  close(inPipe[1]);

  ToolRun run;
  const auto deadline = start + std::chrono::seconds(limitSeconds);
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  int open = 2;
  while (open > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ADD_FAILURE() << program << " did not finish in time";
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

ToolRun RunTool(const std::vector<std::string>& arguments, int limitSeconds) {
  // The status tool's tests give it no input: standard input is at its end.
  return RunProgram(kestrune_status_PATH, arguments, {}, limitSeconds);
}

}  // namespace kestrune::test
