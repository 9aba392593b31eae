#include "admin/admin_tool.h"

int main(int argc, char** argv) {
  return kestrune::RunAdminTool(argc, argv);
}
