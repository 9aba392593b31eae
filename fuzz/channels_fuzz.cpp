// The channel definitions file from any contents. A load that succeeds is
// saved and loaded again: the same channels come back in the same order,
// with the same paths, texts, password, properties and channel bans (save
// for blanks at the end of a cut text and ban texts too long to be written),
// and a tree loaded from a saved file saves to the same file again.

#include <cstdint>
#include <string>

#include "channels/channel.h"
#include "channels/channel_tree.h"
#include "config/log.h"
#include "fuzz_support.h"
#include "net/connection.h"
#include "store_world.h"
#include "util/clock.h"
#include "util/text.h"

namespace {

using namespace kestrune;

struct World {
  World() { log.SetDaemon(true); }
  FakeClock clock;
  Log log{clock};
  ConnectionTable table{clock, log};
  std::string path = fuzz::ScratchFile("channels.chn");
};

World& TheWorld() {
  static World* world = new World();  // lives for the whole run
  return *world;
}

// A ban text as the save writes it: an escaped text above 100 bytes is
// written as the empty text.
std::string AsSaved(const std::string& text) {
  return EscapeText(text).size() > 100 ? std::string() : text;
}

std::string Trimmed(std::string text) {
  TrimBlanks(text);
  return text;
}

void CheckSame(const ChannelTree& a, const ChannelTree& b) {
  FUZZ_CHECK(a.Count() == b.Count());
  for (std::size_t i = 0; i < a.Count(); ++i) {
    const Channel& x = a.At(i);
    const Channel& y = b.At(i);
    FUZZ_CHECK(x.path == y.path && x.name == y.name);
    // A text cut at its limit may end in blanks, which the file drops.
    FUZZ_CHECK(Trimmed(x.phonetic) == y.phonetic && Trimmed(x.comment) == y.comment);
    FUZZ_CHECK(x.password.Equals(y.password));
    FUZZ_CHECK(x.properties == y.properties);
    FUZZ_CHECK(x.bans.Size() == y.bans.Size());
    for (std::size_t k = 0; k < x.bans.Size(); ++k) {
      const BanEntry& p = x.bans.At(k);
      const BanEntry& q = y.bans.At(k);
      FUZZ_CHECK(p.address == q.address && p.bits == q.bits);
      FUZZ_CHECK(AsSaved(p.name) == q.name && AsSaved(p.admin) == q.admin);
      // The reason ends the value, whose trailing blanks the file drops.
      std::string reason = AsSaved(p.reason);
      while (!reason.empty() && reason.back() == ' ') reason.pop_back();
      FUZZ_CHECK(reason == q.reason);
    }
    // Parents come first, so the parent of each channel is already known.
    const std::uint16_t parent = x.parent;
    if (parent != 0) FUZZ_CHECK(a.FindChannelById(parent) != nullptr);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  World& world = TheWorld();
  fuzz::WriteWholeFile(world.path, data, size);

  ChannelTree first(world.log, world.table);
  first.SetFile(world.path);
  if (first.LoadChannels() != 0) return 0;
  FUZZ_CHECK(first.SaveChannels() == 0);

  ChannelTree second(world.log, world.table);
  second.SetFile(world.path);
  FUZZ_CHECK(second.LoadChannels() == 0);
  CheckSame(first, second);
  // What came from a saved file is saved the same way again.
  FUZZ_CHECK(second.SaveChannels() == 0);
  const std::string saved = fuzz::ReadWholeFile(world.path);
  ChannelTree third(world.log, world.table);
  third.SetFile(world.path);
  FUZZ_CHECK(third.LoadChannels() == 0);
  CheckSame(second, third);
  FUZZ_CHECK(third.SaveChannels() == 0);
  FUZZ_CHECK(fuzz::ReadWholeFile(world.path) == saved);
  return 0;
}
