// The server ban file from any contents, and the address parser over each
// line's first field. A loaded list is rewritten and loaded again: where every
// rewritten line fits the reader's line buffer, the same bans come back (with
// control bytes written as blanks) and the next rewrite gives the same file.

#include <cstdint>
#include <string>
#include <string_view>

#include "config/log.h"
#include "fuzz_support.h"
#include "store/ban_list.h"
#include "store_world.h"
#include "util/clock.h"

namespace {

using namespace kestrune;

// The reader takes lines of at most 998 bytes, its line feed included.
bool LinesFit(const std::string& text) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    std::size_t length = (end == std::string::npos ? text.size() : end + 1) - start;
    if (length > 998) return false;
    start += length;
  }
  return true;
}

// What the rewrite makes of a field: control bytes, and commas except in the
// reason, become blanks so that a ban stays one line of four fields.
std::string AsWritten(const std::string& text, bool keepCommas) {
  std::string out = text;
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 32 || (c == ',' && !keepCommas)) c = ' ';
  }
  return out;
}

void ParseFirstFields(std::string_view text) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    BanEntry entry;
    const int result = ParseAddress(entry, line.substr(0, line.find(',')));
    FUZZ_CHECK(result == 0 || result == -1 || result == -2);
    if (result == 0) {
      FUZZ_CHECK(entry.bits >= 1 && entry.bits <= 32);
      FUZZ_CHECK(entry.mask == MaskForBits(entry.bits));
      // The text of a parsed entry parses back to the same ban.
      BanEntry again;
      FUZZ_CHECK(ParseAddress(again, AddressText(entry)) == 0);
      FUZZ_CHECK(again.address == entry.address && again.bits == entry.bits);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static FakeClock clock;
  static Log log{clock};
  static const std::string path = fuzz::ScratchFile("server.ban");
  log.SetDaemon(true);
  ParseFirstFields(std::string_view(reinterpret_cast<const char*>(data), size));

  fuzz::WriteWholeFile(path, data, size);
  ServerBanList first(log, clock, path);
  first.LoadBans();
  FUZZ_CHECK(first.RewriteBans() == 0);
  const std::string rewritten = fuzz::ReadWholeFile(path);
  if (!LinesFit(rewritten)) return 0;

  ServerBanList second(log, clock, path);
  second.LoadBans();
  FUZZ_CHECK(second.List().Size() == first.List().Size());
  for (std::size_t i = 0; i < first.List().Size(); ++i) {
    const BanEntry& x = first.List().At(i);
    const BanEntry& y = second.List().At(i);
    FUZZ_CHECK(x.address == y.address && x.bits == y.bits && x.mask == y.mask);
    FUZZ_CHECK(AsWritten(x.name, false) == y.name && AsWritten(x.admin, false) == y.admin);
    FUZZ_CHECK(AsWritten(x.reason, true) == y.reason);
  }
  FUZZ_CHECK(second.RewriteBans() == 0);
  FUZZ_CHECK(fuzz::ReadWholeFile(path) == rewritten);
  return 0;
}
