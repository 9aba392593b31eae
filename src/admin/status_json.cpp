#include "admin/status_json.h"

#include <cstdio>
#include <set>

#include "util/text.h"

namespace kestrune {

namespace {

// Keys whose values are integers in every reply the server writes.
const std::set<std::string, std::less<>> kNumberKeys = {
    "AUTH", "MAXCLIENTS", "UPTIME", "CHANNELCOUNT", "CLIENTCOUNT", "CID",
    "PID",  "PROT",       "ADMIN",  "PHAN",         "PING",        "SEC"};

bool IsInteger(std::string_view text) {
  std::size_t i = text.size() > 1 && text[0] == '-' ? 1 : 0;
  if (i == text.size() || text.size() - i > 15) return false;
  // No leading zeros: JSON does not allow them.
  if (text[i] == '0' && text.size() - i > 1) return false;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

// Length of the UTF-8 sequence starting at `at`, or 0 when it is not valid.
std::size_t Utf8Length(std::string_view text, std::size_t at) {
  const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  std::size_t length = 0;
  std::uint32_t code = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(at + i) & 0x3F);
  }
  const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
  const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
  if (overlong || surrogate || code > 0x10FFFF) return 0;
  return length;
}

bool ValidUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    const std::size_t length = Utf8Length(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

std::string Decoded(const std::string& value) {
  std::string text = value;
  UnescapeText(text);
  return text;
}

std::string JsonValue(const std::string& key, const std::string& value) {
  if (kNumberKeys.count(key) != 0 && IsInteger(value)) return value;
  return JsonString(Decoded(value));
}

// "K=V,K=V": fields split at commas, each at its first '='.
StatusFields SplitRecord(std::string_view text) {
  StatusFields fields;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t comma = text.find(',', start);
    if (comma == std::string_view::npos) comma = text.size();
    const std::string_view piece = text.substr(start, comma - start);
    const std::size_t equals = piece.find('=');
    if (equals == std::string_view::npos) {
      fields.emplace_back(std::string(piece), "");
    } else {
      fields.emplace_back(std::string(piece.substr(0, equals)),
                          std::string(piece.substr(equals + 1)));
    }
    start = comma + 1;
  }
  return fields;
}

std::vector<std::string> SplitNames(std::string_view text) {
  std::vector<std::string> names;
  for (const auto& [name, unused] : SplitRecord(text)) names.push_back(name);
  return names;
}

void AppendObject(std::string& out, const StatusFields& fields, const char* indent) {
  out += "{";
  for (std::size_t i = 0; i < fields.size(); ++i) {
    out += i == 0 ? "\n" : ",\n";
    out += indent;
    out += "  " + JsonString(fields[i].first) + ": " + JsonValue(fields[i].first, fields[i].second);
  }
  out += fields.empty() ? "}" : std::string("\n") + indent + "}";
}

void AppendNames(std::string& out, const std::vector<std::string>& names) {
  out += "[";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += ", ";
    out += JsonString(names[i]);
  }
  out += "]";
}

void AppendRecords(std::string& out, const std::vector<StatusFields>& records) {
  out += "[";
  for (std::size_t i = 0; i < records.size(); ++i) {
    out += i == 0 ? "\n    " : ",\n    ";
    AppendObject(out, records[i], "    ");
  }
  out += records.empty() ? "]" : "\n  ]";
}

}  // namespace

StatusReplyParts ParseStatusReply(std::string_view text) {
  // The reply is text up to its first NUL.
  if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos) {
    text = text.substr(0, nul);
  }
  StatusReplyParts parts;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    const std::size_t colon = line.find(": ");
    if (colon == std::string_view::npos || colon == 0) {
      parts.other.emplace_back(line);
      continue;
    }
    const std::string_view key = line.substr(0, colon);
    const std::string_view value = line.substr(colon + 2);
    if (key == "CHANNEL") {
      parts.channels.push_back(SplitRecord(value));
    } else if (key == "CLIENT") {
      parts.clients.push_back(SplitRecord(value));
    } else if (key == "CHANNELFIELDS") {
      parts.channelFields = SplitNames(value);
    } else if (key == "CLIENTFIELDS") {
      parts.clientFields = SplitNames(value);
    } else {
      parts.server.emplace_back(std::string(key), std::string(value));
    }
  }
  return parts;
}

std::string StatusReplyJson(std::string_view text) {
  const StatusReplyParts parts = ParseStatusReply(text);
  std::string out = "{\n  \"server\": ";
  AppendObject(out, parts.server, "  ");
  out += ",\n  \"channelFields\": ";
  AppendNames(out, parts.channelFields);
  out += ",\n  \"clientFields\": ";
  AppendNames(out, parts.clientFields);
  out += ",\n  \"channels\": ";
  AppendRecords(out, parts.channels);
  out += ",\n  \"clients\": ";
  AppendRecords(out, parts.clients);
  if (!parts.other.empty()) {
    out += ",\n  \"other\": ";
    AppendNames(out, parts.other);
  }
  out += "\n}\n";
  return out;
}

std::string JsonString(std::string_view bytes) {
  const bool utf8 = ValidUtf8(bytes);
  std::string out = "\"";
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7F || (byte >= 0x80 && !utf8)) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04X", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
}

}  // namespace kestrune
