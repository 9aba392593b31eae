#include "store/ini_file.h"

#include <strings.h>

#include <cerrno>
#include <cstdio>

#include "util/file_write.h"
#include "util/text.h"

namespace kestrune {

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

IniEntry* IniSection::FindEntry(std::string_view key) {
  for (auto& entry : entries_) {
    if (EqualsIgnoreCase(entry.key, key)) return &entry;
  }
  return nullptr;
}

const IniEntry* IniSection::FindEntry(std::string_view key) const {
  return const_cast<IniSection*>(this)->FindEntry(key);
}

IniEntry& IniSection::AddEntry(std::string_view key) {
  entries_.push_back(IniEntry{std::string(key), std::string()});
  return entries_.back();
}

const IniEntry* IniSection::EntryAt(int index) const {
  if (index < 0 || index >= EntryCount()) return nullptr;
  return &entries_[static_cast<std::size_t>(index)];
}

bool IniSection::ParseLine(std::string_view line) {
  std::size_t eq = line.find('=');
  if (eq == std::string_view::npos) return false;
  std::string key(line.substr(0, eq));
  std::string value(line.substr(eq + 1));
  TrimBlanks(key);
  TrimBlanks(value);
  AddEntry(key).value = std::move(value);
  return true;
}

void IniFile::ParseLine(std::string line, IniSection*& current, bool keepDuplicateSections) {
  TrimBlanks(line);
  if (line.empty() || line[0] == '#') return;
  if (line[0] == '[') {
    current = nullptr;
    // A header without its closing bracket drops the key lines up to the next good one.
    if (line.size() >= 2 && line.back() == ']') {
      current = &AddSection(std::string_view(line).substr(1, line.size() - 2), keepDuplicateSections);
    }
    return;
  }
  if (current != nullptr) current->ParseLine(line);
}

void IniFile::Parse(std::string_view text, bool keepDuplicateSections) {
  Clear();
  IniSection* current = nullptr;
  // Pieces of at most kLineBuffer - 1 bytes, each ending at a line feed when
  // one comes soon enough, as a fixed line buffer would read them.
  while (!text.empty()) {
    std::size_t limit = std::min(text.size(), kLineBuffer - 1);
    std::size_t newline = text.substr(0, limit).find('\n');
    std::size_t take = newline == std::string_view::npos ? limit : newline + 1;
    ParseLine(std::string(text.substr(0, take)), current, keepDuplicateSections);
    text.remove_prefix(take);
  }
}

int IniFile::Load(const std::string& path, bool keepDuplicateSections) {
  Clear();
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return errno == ENOENT ? kMissing : kUnreadable;
  std::string text;
  char buffer[8192];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  bool failed = std::ferror(file) != 0;
  std::fclose(file);
  // A folder opens but cannot be read: treat it like any unreadable file.
  if (failed) return kUnreadable;
  Parse(text, keepDuplicateSections);
  return kLoaded;
}

std::string IniFile::Format() const {
  std::string out;
  for (const auto& section : sections_) {
    out += '[';
    out += section->Name();
    out += "]\n\n";
    for (int i = 0; i < section->EntryCount(); ++i) {
      const IniEntry* entry = section->EntryAt(i);
      out += entry->key;
      out += '=';
      out += entry->value;
      out += '\n';
    }
    out += '\n';
  }
  return out;
}

int IniFile::Save(const std::string& path) const {
  return WriteFileAtomically(path, Format()) == 0 ? 0 : -1;
}

IniSection* IniFile::FindSection(std::string_view name) {
  for (auto& section : sections_) {
    if (EqualsIgnoreCase(section->Name(), name)) return section.get();
  }
  return nullptr;
}

const IniSection* IniFile::FindSection(std::string_view name) const {
  return const_cast<IniFile*>(this)->FindSection(name);
}

IniSection& IniFile::AddSection(std::string_view name, bool forceNew) {
  if (!forceNew) {
    if (IniSection* existing = FindSection(name)) return *existing;
  }
  sections_.push_back(std::make_unique<IniSection>(std::string(name)));
  return *sections_.back();
}

std::string IniFile::GetString(std::string_view section, std::string_view key,
                               std::string_view defaultValue) const {
  const IniSection* found = FindSection(section);
  const IniEntry* entry = found != nullptr ? found->FindEntry(key) : nullptr;
  return entry != nullptr ? entry->value : std::string(defaultValue);
}

int IniFile::GetInt(std::string_view section, std::string_view key, int defaultValue) const {
  const IniSection* found = FindSection(section);
  const IniEntry* entry = found != nullptr ? found->FindEntry(key) : nullptr;
  return entry != nullptr ? AtoiRule(entry->value.c_str()) : defaultValue;
}

void IniFile::AddString(std::string_view section, std::string_view key, std::string_view value) {
  AddSection(section, false).AddEntry(key).value = std::string(value);
}

void IniFile::AddInt(std::string_view section, std::string_view key, int value) {
  AddString(section, key, std::to_string(value));
}

const IniSection* IniFile::SectionAt(int index) const {
  if (index < 0 || index >= SectionCount()) return nullptr;
  return sections_[static_cast<std::size_t>(index)].get();
}

std::string IniFile::SectionNameAt(int index) const {
  const IniSection* section = SectionAt(index);
  return section != nullptr ? section->Name() : std::string();
}

}  // namespace kestrune
