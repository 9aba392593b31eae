// A small, strict JSON reader for tests: it refuses anything that is not
// well-formed JSON (RFC 8259) and gives the tree for checking fields. Escapes
// \u0000 to \u00FF read back as the single byte of that value (the tools
// write bytes that are not UTF-8 that way); others become UTF-8.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrune::test {

struct Json {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = Kind::kNull;
  bool boolean = false;
  std::string text;  // the number as written, or the decoded string
  std::vector<Json> items;
  std::vector<std::pair<std::string, Json>> members;

  // The member `name` of an object, or nullptr.
  const Json* Get(std::string_view name) const {
    for (const auto& [key, value] : members) {
      if (key == name) return &value;
    }
    return nullptr;
  }
};

class JsonReader {
 public:
  // The tree, or none when `text` is not one well-formed JSON value
  // (surrounding white space allowed).
  static std::optional<Json> Parse(std::string_view text) {
    JsonReader reader(text);
    Json value;
    reader.SkipSpace();
    if (!reader.Value(value, 0)) return std::nullopt;
    reader.SkipSpace();
    if (reader.at_ != text.size()) return std::nullopt;
    return value;
  }

 private:
  explicit JsonReader(std::string_view text) : text_(text) {}

  bool More() const { return at_ < text_.size(); }
  char Peek() const { return More() ? text_[at_] : '\0'; }
  void SkipSpace() {
    while (More() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\n' || Peek() == '\r')) ++at_;
  }
  bool Literal(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }

  bool Value(Json& value, int depth) {
    if (depth > 64) return false;
    const char c = Peek();
    if (c == '{') return Object(value, depth);
    if (c == '[') return Array(value, depth);
    if (c == '"') {
      value.kind = Json::Kind::kString;
      return String(value.text);
    }
    if (c == 't' || c == 'f') {
      value.kind = Json::Kind::kBool;
      value.boolean = c == 't';
      return Literal(c == 't' ? "true" : "false");
    }
    if (c == 'n') return Literal("null");
    value.kind = Json::Kind::kNumber;
    return Number(value.text);
  }

  bool Object(Json& value, int depth) {
    value.kind = Json::Kind::kObject;
    ++at_;
    SkipSpace();
    if (Peek() == '}') {
      ++at_;
      return true;
    }
    for (;;) {
      std::string key;
      SkipSpace();
      if (Peek() != '"' || !String(key)) return false;
      SkipSpace();
      if (Peek() != ':') return false;
      ++at_;
      SkipSpace();
      Json member;
      if (!Value(member, depth + 1)) return false;
      value.members.emplace_back(std::move(key), std::move(member));
      SkipSpace();
      if (Peek() == ',') {
        ++at_;
        continue;
      }
      if (Peek() != '}') return false;
      ++at_;
      return true;
    }
  }

  bool Array(Json& value, int depth) {
    value.kind = Json::Kind::kArray;
    ++at_;
    SkipSpace();
    if (Peek() == ']') {
      ++at_;
      return true;
    }
    for (;;) {
      SkipSpace();
      Json item;
      if (!Value(item, depth + 1)) return false;
      value.items.push_back(std::move(item));
      SkipSpace();
      if (Peek() == ',') {
        ++at_;
        continue;
      }
      if (Peek() != ']') return false;
      ++at_;
      return true;
    }
  }

  static bool Digit(char c) { return c >= '0' && c <= '9'; }

  bool Number(std::string& out) {
    const std::size_t start = at_;
    if (Peek() == '-') ++at_;
    if (Peek() == '0') {
      ++at_;
    } else if (Digit(Peek())) {
      while (Digit(Peek())) ++at_;
    } else {
      return false;
    }
    if (Peek() == '.') {
      ++at_;
      if (!Digit(Peek())) return false;
      while (Digit(Peek())) ++at_;
    }
    if (Peek() == 'e' || Peek() == 'E') {
      ++at_;
      if (Peek() == '+' || Peek() == '-') ++at_;
      if (!Digit(Peek())) return false;
      while (Digit(Peek())) ++at_;
    }
    out = std::string(text_.substr(start, at_ - start));
    return true;
  }

  static int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  bool String(std::string& out) {
    ++at_;  // the opening quote
    out.clear();
    for (;;) {
      if (!More()) return false;
      const char c = text_[at_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (!More()) return false;
      const char e = text_[at_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          if (at_ + 4 > text_.size()) return false;
          std::uint32_t code = 0;
          for (int i = 0; i < 4; ++i) {
            const int digit = HexValue(text_[at_++]);
            if (digit < 0) return false;
            code = code * 16 + static_cast<std::uint32_t>(digit);
          }
          if (code < 0x100) {
            out += static_cast<char>(code);
          } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
          } else {
            // Surrogate pairs are not needed by these tests: the BMP only.
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
          }
          break;
        }
        default:
          return false;
      }
    }
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

}  // namespace kestrune::test
