// Runs the built kestrune_status with a time limit and collects its output.
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

// Runs the tool with the arguments (program name not included); the process
// is killed if it outlives `limitSeconds`.
ToolRun RunTool(const std::vector<std::string>& arguments, int limitSeconds = 20);

}  // namespace kestrune::test
