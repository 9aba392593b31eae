// The server properties file from any contents, then saved and loaded again:
// the values read survive the round trip (a comment cut at its limit loses
// the blanks it then ends with), and a file the server wrote reads back to
// the same text.

#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "store/server_properties.h"
#include "store_world.h"
#include "util/text.h"

using namespace kestrune;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = fuzz::ScratchFile("server.prop");
  fuzz::WriteWholeFile(path, data, size);

  ServerProperties first;
  first.LoadProperties(path, fuzz::IgnoreReport);
  FUZZ_CHECK(first.comment.size() < ServerProperties::kCommentLimit);
  FUZZ_CHECK(first.SaveProperties(path) == 0);
  const std::string saved = fuzz::ReadWholeFile(path);
  FUZZ_CHECK(saved == first.Format());

  // A comment cut at its limit may end in blanks, which the file drops; past
  // that, a file the server wrote reads back to the same text.
  ServerProperties second;
  second.LoadProperties(path, fuzz::IgnoreReport);
  std::string comment = first.comment;
  TrimBlanks(comment);
  FUZZ_CHECK(second.comment == comment);
  FUZZ_CHECK(second.SaveProperties(path) == 0);
  const std::string again = fuzz::ReadWholeFile(path);
  ServerProperties third;
  third.LoadProperties(path, fuzz::IgnoreReport);
  FUZZ_CHECK(third.Format() == again);
  // Everything but the comment came through the first round unchanged.
  second.comment = first.comment;
  FUZZ_CHECK(second.Format() == saved);
  return 0;
}
