#include <cstdio>

int main() {
  std::puts("kestrune_srv: the server is not built yet.");
  return 0;
}
