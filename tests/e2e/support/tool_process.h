// Runs a built tool (kestrune_status, kestrune_admin) with a time limit and
// collects its output.
#pragma once

#include <string>
#include <vector>

namespace kestrune::test {

struct ToolRun {
  int exitCode = -1;
  std::string out;
  std::string err;
  double seconds = 0;
};

struct ToolInput {
  std::string stdinText;                // what the tool reads on standard input
  std::vector<std::string> environment;  // "NAME=value" entries added for the run
};

// Runs `program` with the arguments (program name not included); the process
// is killed if it outlives `limitSeconds`. The KESTRUNE_* variables of the
// test's own environment are not passed on.
ToolRun RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                   const ToolInput& input = {}, int limitSeconds = 20);

// Runs the built kestrune_status.
ToolRun RunTool(const std::vector<std::string>& arguments, int limitSeconds = 20);

}  // namespace kestrune::test
