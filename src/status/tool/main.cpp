#include <cstdio>

int main() {
  std::puts("kestrune_status: the status tool is not built yet.");
  return 0;
}
