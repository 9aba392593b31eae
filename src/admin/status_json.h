// The status reply text ("KEY: value" lines, CHANNEL and CLIENT records of
// "K=V,..." fields, values %-escaped by the server) read into its parts and
// rendered as JSON for monitoring systems.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrune {

using StatusFields = std::vector<std::pair<std::string, std::string>>;

struct StatusReplyParts {
  StatusFields server;                     // every other "KEY: value" line, in order
  std::vector<std::string> channelFields;  // CHANNELFIELDS, split at commas
  std::vector<std::string> clientFields;   // CLIENTFIELDS
  std::vector<StatusFields> channels;      // one per CHANNEL line
  std::vector<StatusFields> clients;       // one per CLIENT line
  std::vector<std::string> other;          // lines of no known shape, as they are
};

// Splits the reply (up to its first NUL) into its parts; values stay escaped.
StatusReplyParts ParseStatusReply(std::string_view text);

// The reply as one JSON object: "server" (an object of the KEY lines),
// "channelFields", "clientFields", "channels" and "clients" (arrays of
// objects), and "other" when some line had no known shape. Values are
// decoded; counts, ids, flags, pings and seconds are numbers.
std::string StatusReplyJson(std::string_view text);

// `bytes` as a JSON string literal: valid UTF-8 is kept, any other byte of
// 128 or more is written as \u00XX (read as Latin-1).
std::string JsonString(std::string_view bytes);

}  // namespace kestrune
