#include "protocol/login_messages.h"

#include <sys/stat.h>

#include <cstdio>

#include "config/settings.h"
#include "store/server_properties.h"

namespace kestrune {

std::unique_ptr<Message> BuildServerInfo(const ServerSettings& settings, int loggedIn,
                                         std::string_view serverVersion) {
  auto message = CreateMessage(MSG_SERVER_INFO);
  message->SetU16(4, 104);
  message->SetU16(8, static_cast<std::uint16_t>(settings.port));
  message->SetU16(10, static_cast<std::uint16_t>(ServerSettings::kMaxClients));
  message->SetU16(12, static_cast<std::uint16_t>(loggedIn));
  message->SetFixedText(28, 32, settings.name);
  message->SetFixedText(60, 16, serverVersion);
  return message;
}

std::unique_ptr<Message> BuildSessionInfo(const ServerSettings& settings, bool hasDefChan) {
  auto message = CreateMessage(MSG_SESSION_INFO);
  message->SetU16(8, static_cast<std::uint16_t>(settings.voiceCodec));
  message->SetU16(10, static_cast<std::uint16_t>(settings.voiceFormat));
  message->SetU8(16, hasDefChan ? 1 : 0);
  message->SetU8(17, static_cast<std::uint8_t>(settings.silentLobby & 0xFF));
  return message;
}

std::unique_ptr<Message> BuildPropertyValue(std::uint16_t id, std::string_view value) {
  auto message = CreateMessage(MSG_SERVER_PROPS);
  message->SetU16(4, 0);
  message->SetU16(6, id);
  WriteCountedString(*message, value);
  return message;
}

std::vector<std::unique_ptr<Message>> BuildLoginProperties(const ServerProperties& properties) {
  std::vector<std::unique_ptr<Message>> messages;
  const std::pair<std::uint16_t, int> values[] = {
      {2, properties.chatFilter}, {3, properties.channelOrdering}, {5, properties.motdAlways}};
  for (const auto& [id, value] : values) {
    messages.push_back(BuildPropertyValue(id, std::to_string(value)));
  }
  return messages;
}

std::vector<std::unique_ptr<Message>> BuildMotdParts(const std::string& path, std::uint16_t kind) {
  std::vector<std::unique_ptr<Message>> parts;
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0) return parts;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return parts;
  std::size_t total =
      (static_cast<std::size_t>(info.st_size) + kMotdPartBytes - 1) / kMotdPartBytes;
  if (total > kMotdMaxParts) total = kMotdMaxParts;
  for (std::size_t index = 0; index < total; ++index) {
    auto message = CreateMessage(MSG_MOTD);
    std::size_t got = std::fread(message->Data() + 16, 1, kMotdPartBytes, file);
    message->SetU32(4, static_cast<std::uint32_t>(info.st_mtime));
    message->SetU16(8, kind);
    message->SetU16(10, static_cast<std::uint16_t>(total));
    message->SetU16(12, static_cast<std::uint16_t>(index));
    message->SetU16(14, static_cast<std::uint16_t>(got));
    parts.push_back(std::move(message));
    if (got < kMotdPartBytes) break;  // the file shrank meanwhile
  }
  std::fclose(file);
  return parts;
}

std::unique_ptr<Message> BuildChannelAdminList(const std::vector<std::uint16_t>& channels) {
  auto message = CreateMessage(MSG_CHANNEL_AUTH);
  message->SetU16(4, 1);
  WriteU16List(*message, channels);
  return message;
}

std::unique_ptr<Message> BuildUserSetting(std::uint16_t id, std::uint16_t setting,
                                          std::uint32_t value) {
  auto message = CreateMessage(MSG_USER_SETTING);
  message->SetU16(4, id);
  message->SetU16(6, setting);
  message->SetU32(8, value);
  return message;
}

std::string NewVersionText(const NewVersionRecord& record) {
  if (record.version.empty()) return {};
  std::string text = "A new Kestrune server (version " + record.version + ") is now available.";
  if (!record.requiredClient.empty()) {
    text += "\n\nThis update requires the clients that connect to\n";
    text += "this server be running version " + record.requiredClient + " or higher.";
  }
  text += "\n\nYou can download the new server from this link\n" + record.link;
  return text;
}

}  // namespace kestrune
