// The in-memory form of every INI text file: an ordered list of sections, each
// an ordered list of key/value entries. Lookups ignore ASCII case and return
// the first match; adding always appends.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune {

struct IniEntry {
  std::string key;
  std::string value;
};

class IniSection {
 public:
  explicit IniSection(std::string name) : name_(std::move(name)) {}

  const std::string& Name() const { return name_; }
  // First entry with that key, or nullptr.
  IniEntry* FindEntry(std::string_view key);
  const IniEntry* FindEntry(std::string_view key) const;
  // Appends an entry with an empty value; the section keeps ownership.
  IniEntry& AddEntry(std::string_view key);
  int EntryCount() const { return static_cast<int>(entries_.size()); }
  // nullptr when the index is out of range.
  const IniEntry* EntryAt(int index) const;
  // Reads one trimmed key line ("key=value"); false when it has no '='.
  bool ParseLine(std::string_view line);

 private:
  std::string name_;
  std::vector<IniEntry> entries_;
};

class IniFile {
 public:
  static constexpr int kLoaded = 0;
  static constexpr int kMissing = 1;
  static constexpr int kUnreadable = -1;
  // Longest piece of a line read at once; a longer line is split.
  static constexpr std::size_t kLineBuffer = 16384;

  // 0 read, 1 no such file (store empty), -1 exists but cannot be opened.
  int Load(const std::string& path, bool keepDuplicateSections);
  // Loads from text already in memory, by the same rules.
  void Parse(std::string_view text, bool keepDuplicateSections);
  // 0 written, -1 failed (the old file is left as it was).
  int Save(const std::string& path) const;
  // The text Save writes.
  std::string Format() const;

  void Clear() { sections_.clear(); }
  IniSection* FindSection(std::string_view name);
  const IniSection* FindSection(std::string_view name) const;
  IniSection& AddSection(std::string_view name, bool forceNew);

  std::string GetString(std::string_view section, std::string_view key,
                        std::string_view defaultValue = {}) const;
  // atoi of the value; the default only when the section or key is missing.
  int GetInt(std::string_view section, std::string_view key, int defaultValue) const;
  // Always appends a new entry, even when the key exists.
  void AddString(std::string_view section, std::string_view key, std::string_view value);
  void AddInt(std::string_view section, std::string_view key, int value);

  int SectionCount() const { return static_cast<int>(sections_.size()); }
  const IniSection* SectionAt(int index) const;
  std::string SectionNameAt(int index) const;

 private:
  void ParseLine(std::string line, IniSection*& current, bool keepDuplicateSections);

  std::vector<std::unique_ptr<IniSection>> sections_;
};

// ASCII case-insensitive equality, the rule for every name in the system.
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

}  // namespace kestrune
