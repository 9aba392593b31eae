// The messages a handshake and a login send that do not depend on the
// connection table: server description, session info, properties, messages
// of the day, the channel-admin list, settings notices and the new-version
// notice text.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/message.h"

namespace kestrune {

struct ServerSettings;
struct ServerProperties;

inline constexpr const char* kProtocolVersion = "3.0.0";

// What the update check learned about a newer server; empty until it answers.
struct NewVersionRecord {
  std::string version;
  std::string requiredClient;
  std::string link;
};

// MSG_SERVER_INFO with the port in force, `loggedIn` clients and the
// server's version text.
std::unique_ptr<Message> BuildServerInfo(const ServerSettings& settings, int loggedIn,
                                         std::string_view serverVersion);
// MSG_SESSION_INFO: the voice codec and format, the DefChan mark and SilentLobby.
std::unique_ptr<Message> BuildSessionInfo(const ServerSettings& settings, bool hasDefChan);
// A property value as MSG_SERVER_PROPS (action 0, result 0, the value as a
// counted string at offset 12).
std::unique_ptr<Message> BuildPropertyValue(std::uint16_t id, std::string_view value);
// The properties a client receives at login: ids 2, 3 and 5 in that order.
std::vector<std::unique_ptr<Message>> BuildLoginProperties(const ServerProperties& properties);

inline constexpr std::size_t kMotdPartBytes = 256;
inline constexpr std::size_t kMotdMaxParts = 32;
enum MotdKind : std::uint16_t { kMotdNormal = 0, kMotdGuest = 1 };
// The file as MSG_MOTD parts of 256 bytes with its modification time; none
// when the file is missing, empty or unreadable. At most 32 parts, the most
// one message can count.
std::vector<std::unique_ptr<Message>> BuildMotdParts(const std::string& path, std::uint16_t kind);

// MSG_CHANNEL_AUTH action 1 with the channels the client administers.
std::unique_ptr<Message> BuildChannelAdminList(const std::vector<std::uint16_t>& channels);
// MSG_USER_SETTING for client `id`.
std::unique_ptr<Message> BuildUserSetting(std::uint16_t id, std::uint16_t setting,
                                          std::uint32_t value);
inline constexpr std::uint16_t kSettingGlobalMute = 4;
inline constexpr std::uint16_t kSettingChannelMute = 5;

// The new-version notice, or empty when no newer version is known.
std::string NewVersionText(const NewVersionRecord& record);

}  // namespace kestrune
