#include "status/tool/status_tool.h"

int main(int argc, char** argv) {
  return kestrune::RunStatusTool(argc, argv);
}
