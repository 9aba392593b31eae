// The INI reader over any text, both ways of treating a repeated section
// header, then a save and a load of what was read. Blank lines and comments
// go, and every key and value arrives trimmed without a line feed, so a saved
// store reads back with exactly the same sections and entries, and saving
// that gives the same text again.

#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "store/ini_file.h"

namespace {

using kestrune::IniEntry;
using kestrune::IniFile;
using kestrune::IniSection;

void CheckSame(const IniFile& a, const IniFile& b) {
  FUZZ_CHECK(a.SectionCount() == b.SectionCount());
  for (int s = 0; s < a.SectionCount(); ++s) {
    const IniSection* x = a.SectionAt(s);
    const IniSection* y = b.SectionAt(s);
    FUZZ_CHECK(x->Name() == y->Name());
    FUZZ_CHECK(x->EntryCount() == y->EntryCount());
    for (int e = 0; e < x->EntryCount(); ++e) {
      FUZZ_CHECK(x->EntryAt(e)->key == y->EntryAt(e)->key);
      FUZZ_CHECK(x->EntryAt(e)->value == y->EntryAt(e)->value);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  static const std::string path = kestrune::fuzz::ScratchFile("store.ini");
  for (bool keepDuplicates : {false, true}) {
    IniFile parsed;
    parsed.Parse(text, keepDuplicates);
    // Lookups by the names read find the first of them.
    for (int s = 0; s < parsed.SectionCount(); ++s) {
      const IniSection* section = parsed.SectionAt(s);
      FUZZ_CHECK(parsed.FindSection(section->Name()) != nullptr);
      if (!keepDuplicates) FUZZ_CHECK(parsed.FindSection(section->Name()) == section);
      for (int e = 0; e < section->EntryCount(); ++e) {
        const IniEntry* entry = section->EntryAt(e);
        FUZZ_CHECK(entry->key.find('=') == std::string::npos);
        FUZZ_CHECK(entry->value.find('\n') == std::string::npos);
        FUZZ_CHECK(section->FindEntry(entry->key) != nullptr);
      }
    }

    FUZZ_CHECK(parsed.Save(path) == 0);
    IniFile loaded;
    FUZZ_CHECK(loaded.Load(path, keepDuplicates) == IniFile::kLoaded);
    CheckSame(parsed, loaded);
    FUZZ_CHECK(loaded.Format() == parsed.Format());
  }
  return 0;
}
