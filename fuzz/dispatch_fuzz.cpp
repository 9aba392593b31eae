// libFuzzer entry of the dispatcher target: every input runs against a fresh
// server (see dispatch_world.h for the input's layout).
#include <cstddef>
#include <cstdint>

#include "dispatch_world.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kestrune::fuzz::World world;
  world.Run(data, size);
  return 0;
}
