#include "util/text.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace kestrune {

void TrimBlanks(std::string& text) {
  std::size_t begin = 0;
  while (begin < text.size() && static_cast<unsigned char>(text[begin]) <= 32) ++begin;
  std::size_t end = text.size();
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= 32) --end;
  text = text.substr(begin, end - begin);
}

bool NextToken(std::string& source, char delimiter, std::string& token) {
  if (source.empty()) return false;
  std::size_t at = source.find(delimiter);
  if (at == std::string::npos) {
    token = std::move(source);
    source.clear();
  } else {
    token = source.substr(0, at);
    source.erase(0, at + 1);
  }
  return true;
}

int SplitList(const std::string& text, char delimiter, std::vector<std::string>& list) {
  list.clear();
  std::string rest = text;
  std::string token;
  while (NextToken(rest, delimiter, token)) list.push_back(token);
  return static_cast<int>(list.size());
}

bool LimitLength(std::string& text, std::size_t limit) {
  if (text.size() < limit) return false;
  text.resize(limit > 0 ? limit - 1 : 0);
  return true;
}

bool HasControlChar(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 32) return true;
  }
  return false;
}

bool HasAnyOf(std::string_view text, std::string_view set) {
  return text.find_first_of(set) != std::string_view::npos;
}

std::string EscapeText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte >= 32 && byte <= 127 && c != ',' && c != '=' && c != '%') {
      out += c;
    } else {
      char hex[2];
      HexByte(byte, hex);
      out += '%';
      out.append(hex, 2);
    }
  }
  return out;
}

void UnescapeText(std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (text.size() - i - 1 < 2) break;
    out += static_cast<char>(HexPairValue(text[i + 1], text[i + 2]));
    i += 2;
  }
  text = std::move(out);
}

int ParseFieldLines(std::string_view text, std::map<std::string, std::string>& fields) {
  int added = 0;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    if (end == std::string_view::npos || end == 0) break;
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    std::size_t colon = line.find(": ");
    if (colon == std::string_view::npos) continue;
    auto [it, inserted] =
        fields.emplace(std::string(line.substr(0, colon)), std::string(line.substr(colon + 2)));
    if (inserted) ++added;
  }
  return added;
}

int AtoiRule(const char* text) {
  long value = std::strtol(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

std::string FormatDuration(std::uint32_t seconds) {
  std::uint32_t hours = seconds / 3600;
  char text[48];
  std::snprintf(text, sizeof text, "%u %02u:%02u:%02u", hours / 24, hours % 24,
                (seconds / 60) % 60, seconds % 60);
  return text;
}

void RandomKeyText(std::size_t n, char* buffer) {
  static constexpr char kExcluded[] = ",#'`-+._|/=:\"\\";
  for (std::size_t i = n; i-- > 0;) {
    for (;;) {
      int value = std::rand() % 128;
      if (value >= 33 && value <= 127 && std::strchr(kExcluded, value) == nullptr) {
        buffer[i] = static_cast<char>(value);
        break;
      }
    }
  }
}

void HexByte(std::uint8_t byte, char out[2]) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  out[0] = kDigits[byte >> 4];
  out[1] = kDigits[byte & 0x0F];
}

std::uint8_t HexPairValue(char high, char low) {
  const char pair[3] = {high, low, '\0'};
  return static_cast<std::uint8_t>(std::strtol(pair, nullptr, 16) & 0xFF);
}

int CheckTypeSizes(std::size_t charSize, std::size_t net16Size, std::size_t net32Size,
                   std::FILE* out) {
  if (charSize != 1) {
    std::fprintf(out, "char = %d rather then 1.\n", static_cast<int>(charSize));
    return -1;
  }
  if (net16Size != 2) {
    std::fprintf(out, "NET16 = %d rather then 2.\n", static_cast<int>(net16Size));
    return -2;
  }
  if (net32Size != 4) {
    std::fprintf(out, "NET32 = %d rather then 4.\n", static_cast<int>(net32Size));
    return -3;
  }
  return 0;
}

int CheckTypeSizes() { return CheckTypeSizes(sizeof(char), sizeof(Net16), sizeof(Net32), stdout); }

}  // namespace kestrune
