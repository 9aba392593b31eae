#include "client/session.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace kestrune {

namespace {

using SteadyClock = std::chrono::steady_clock;

int MsLeft(SteadyClock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// The NUL-terminated text at `offset`, never past the message's length.
std::string TextAt(const Message& message, std::size_t offset, std::size_t width) {
  std::string text;
  for (std::size_t i = offset; i < offset + width && i < message.Length(); ++i) {
    const char c = static_cast<char>(message.Data()[i]);
    if (c == '\0') break;
    text.push_back(c);
  }
  return text;
}

bool IsType(const Message& message, std::uint16_t type) {
  return message.Type() == type && SizeAtLeast(message, FixedBodySize(type));
}

constexpr std::size_t kStringMax = Message::kMaxCountedString + 1;

}  // namespace

std::unique_ptr<Message> BuildHandshakeRequest(const std::string& version, const std::string& first,
                                               const std::string& second) {
  auto message = CreateMessage(MSG_HANDSHAKE);
  message->SetFixedText(4, 16, version);
  message->SetFixedText(20, 32, first);
  message->SetFixedText(52, 32, second);
  return message;
}

std::unique_ptr<Message> BuildLoginRequest(const LoginRequest& request) {
  auto message = CreateMessage(MSG_LOGIN);
  message->SetU32(8, request.flags);
  message->SetU16(18, request.statusName);
  message->SetFixedText(40, 64, request.clientVersion);
  message->SetFixedText(104, 16, request.protocolVersion);
  std::memcpy(message->Data() + 120, request.digest.data(), request.digest.size());
  message->SetFixedText(152, 32, request.name);
  message->SetFixedText(184, 32, request.phonetic);
  message->SetFixedText(216, 64, request.platform);
  return message;
}

std::optional<ServerTextInfo> ReadServerText(const Message& message) {
  if (!IsType(message, MSG_SERVER_TEXT)) return std::nullopt;
  ServerTextInfo info;
  info.code = message.GetU16(6);
  info.flags = message.GetU16(8);
  info.text = TextAt(message, 12, Message::kMaxLength);
  return info;
}

std::optional<RefusalInfo> ReadRefusal(const Message& message) {
  if (!IsType(message, MSG_REFUSAL)) return std::nullopt;
  RefusalInfo info;
  info.code = message.GetU16(4);
  info.detail = message.GetU16(6);
  info.detailFlag = message.GetU16(8) != 0;
  info.closes = message.GetU16(10) != 0;
  std::size_t cursor = 20;
  if (!ReadCountedString(message, cursor, kStringMax, info.text)) return std::nullopt;
  return info;
}

std::optional<ServerInfo> ReadServerInfo(const Message& message) {
  if (!IsType(message, MSG_SERVER_INFO)) return std::nullopt;
  ServerInfo info;
  info.port = message.GetU16(8);
  info.capacity = message.GetU16(10);
  info.loggedIn = message.GetU16(12);
  info.name = TextAt(message, 28, 32);
  info.version = TextAt(message, 60, 16);
  return info;
}

std::optional<PropertyInfo> ReadProperty(const Message& message) {
  if (!IsType(message, MSG_SERVER_PROPS)) return std::nullopt;
  PropertyInfo info;
  info.action = message.GetU16(4);
  info.id = message.GetU16(6);
  info.result = message.GetU16(8);
  std::size_t cursor = 12;
  if (!ReadCountedString(message, cursor, kStringMax, info.value)) return std::nullopt;
  return info;
}

std::optional<std::array<std::uint8_t, 104>> ReadPermissionRecord(const Message& message) {
  if (!IsType(message, MSG_ACCOUNT_ADMIN) || message.GetU16(4) != 5 || message.GetU16(10) != 1) {
    return std::nullopt;
  }
  std::size_t cursor = 20;
  const std::uint8_t* bytes = ReadBytes(message, cursor, 104);
  if (bytes == nullptr) return std::nullopt;
  std::array<std::uint8_t, 104> block{};
  std::copy(bytes, bytes + 104, block.begin());
  return block;
}

std::optional<RankListInfo> ReadRankList(const Message& message) {
  if (!IsType(message, MSG_RANK_ADMIN)) return std::nullopt;
  RankListInfo info;
  info.action = message.GetU16(4);
  std::size_t cursor = 16;
  for (std::uint16_t i = 0; i < message.GetU16(10); ++i) {
    const std::uint8_t* record = ReadBytes(message, cursor, 4);
    if (record == nullptr) return std::nullopt;
    RankEntry rank;
    rank.id = static_cast<std::uint16_t>(record[0] | (record[1] << 8));
    rank.level = static_cast<std::int16_t>(record[2] | (record[3] << 8));
    if (!ReadCountedString(message, cursor, kStringMax, rank.abbrev) ||
        !ReadCountedString(message, cursor, kStringMax, rank.descr)) {
      return std::nullopt;
    }
    info.ranks.push_back(std::move(rank));
  }
  if (!SizeEnd(message, cursor)) return std::nullopt;
  return info;
}

std::optional<UserListInfo> ReadUserList(const Message& message) {
  if (!IsType(message, MSG_USER_LIST)) return std::nullopt;
  UserListInfo info;
  info.action = message.GetU16(4);
  std::size_t cursor = 8;
  for (std::uint16_t i = 0; i < message.GetU16(6); ++i) {
    const std::uint8_t* bytes = ReadBytes(message, cursor, 8);
    if (bytes == nullptr) return std::nullopt;
    UserRecord record;
    record.id = static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
    record.channel = static_cast<std::uint16_t>(bytes[2] | (bytes[3] << 8));
    record.flagA = bytes[4];
    record.flagB = bytes[5];
    record.rank = static_cast<std::uint16_t>(bytes[6] | (bytes[7] << 8));
    for (std::string* text :
         {&record.name, &record.phonetic, &record.comment, &record.url, &record.integration}) {
      if (!ReadCountedString(message, cursor, kStringMax, *text)) return std::nullopt;
    }
    info.records.push_back(std::move(record));
  }
  if (!SizeEnd(message, cursor)) return std::nullopt;
  return info;
}

std::optional<SessionInfoRecord> ReadSessionInfo(const Message& message) {
  if (!IsType(message, MSG_SESSION_INFO)) return std::nullopt;
  SessionInfoRecord info;
  info.codec = message.GetU16(8);
  info.format = message.GetU16(10);
  info.hasDefChan = message.GetU8(16) != 0;
  info.silentLobby = message.GetU8(17);
  return info;
}

std::optional<MotdPartInfo> ReadMotdPart(const Message& message) {
  if (!IsType(message, MSG_MOTD)) return std::nullopt;
  MotdPartInfo info;
  info.modified = message.GetU32(4);
  info.kind = message.GetU16(8);
  info.total = message.GetU16(10);
  info.index = message.GetU16(12);
  const std::uint16_t count = message.GetU16(14);
  if (count > 256) return std::nullopt;
  info.bytes.assign(reinterpret_cast<const char*>(message.Data()) + 16, count);
  return info;
}

std::optional<std::vector<ChannelRecord>> ReadChannelList(const Message& message) {
  if (!IsType(message, MSG_CHANNEL_LIST)) return std::nullopt;
  std::vector<ChannelRecord> channels;
  std::size_t cursor = 8;
  for (std::uint16_t i = 0; i < message.GetU16(4); ++i) {
    const std::uint8_t* bytes = ReadBytes(message, cursor, 48);
    if (bytes == nullptr) return std::nullopt;
    ChannelRecord channel;
    channel.id = static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
    channel.parent = static_cast<std::uint16_t>(bytes[2] | (bytes[3] << 8));
    channel.flags = static_cast<std::uint32_t>(bytes[4] | (bytes[5] << 8) | (bytes[6] << 16) |
                                               (static_cast<std::uint32_t>(bytes[7]) << 24));
    for (std::string* text : {&channel.name, &channel.phonetic, &channel.comment}) {
      if (!ReadCountedString(message, cursor, kStringMax, *text)) return std::nullopt;
    }
    channels.push_back(std::move(channel));
  }
  if (!SizeEnd(message, cursor)) return std::nullopt;
  return channels;
}

std::optional<std::vector<std::uint16_t>> ReadChannelAdminList(const Message& message) {
  if (!IsType(message, MSG_CHANNEL_AUTH) || message.GetU16(4) != 1) return std::nullopt;
  std::vector<std::uint16_t> channels;
  std::size_t cursor = 52;
  if (!ReadU16List(message, cursor, 1024, channels) || !SizeEnd(message, cursor)) {
    return std::nullopt;
  }
  return channels;
}

std::optional<UserSettingInfo> ReadUserSetting(const Message& message) {
  if (!IsType(message, MSG_USER_SETTING)) return std::nullopt;
  UserSettingInfo info;
  info.id = message.GetU16(4);
  info.setting = message.GetU16(6);
  info.value = message.GetU32(8);
  return info;
}

const Message* LoginResult::Find(std::uint16_t type) const {
  for (const auto& message : messages) {
    if (message->Type() == type) return message.get();
  }
  return nullptr;
}

std::vector<std::uint16_t> LoginResult::Types() const {
  std::vector<std::uint16_t> types;
  for (const auto& message : messages) types.push_back(message->Type());
  return types;
}

int ClientSession::Connect(const std::string& host, std::uint16_t port,
                           const std::string& localAddress) {
  return stream_.Connect(host, port, localAddress);
}

std::optional<HandshakeResult> ClientSession::Handshake(const std::string& version, int timeoutMs) {
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  if (!stream_.Send(*BuildHandshakeRequest(version))) return std::nullopt;
  auto first = stream_.Receive(timeoutMs);
  if (!first) return std::nullopt;
  auto text = ReadServerText(*first);
  if (!text) return std::nullopt;
  HandshakeResult result;
  result.reply = *text;
  if (text->flags != 4) return result;
  const std::size_t bar = text->text.find('|');
  if (bar == std::string::npos || !stream_.InstallHandshakeKeys(text->text)) return std::nullopt;
  result.keyB = text->text.substr(0, bar);
  result.keyA = text->text.substr(bar + 1);
  if (auto info = stream_.Receive(MsLeft(deadline))) result.info = ReadServerInfo(*info);
  return result;
}

LoginResult ClientSession::Login(const LoginRequest& request, int timeoutMs) {
  LoginResult result;
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  if (!stream_.Send(*BuildLoginRequest(request))) return result;
  for (;;) {
    auto message = stream_.Receive(MsLeft(deadline));
    if (!message) return result;
    const std::uint16_t type = message->Type();
    bool last = type == MSG_LOGIN_ACCEPTED;
    if (auto text = ReadServerText(*message); text && (text->flags & 1) != 0) last = true;
    if (auto refusal = ReadRefusal(*message); refusal && refusal->closes) last = true;
    result.messages.push_back(std::move(message));
    if (type == MSG_LOGIN_ACCEPTED) result.accepted = true;
    if (last) return result;
  }
}

LoginResult ClientSession::Join(const std::string& host, std::uint16_t port,
                                const LoginRequest& request, const std::string& localAddress) {
  if (Connect(host, port, localAddress) != 0) return {};
  auto handshake = Handshake();
  if (!handshake || handshake->reply.flags != 4) return {};
  return Login(request);
}

std::unique_ptr<Message> ClientSession::WaitFor(std::uint16_t type, int timeoutMs) {
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    auto message = stream_.Receive(MsLeft(deadline));
    if (!message) return nullptr;
    if (message->Type() == type) return message;
  }
}

}  // namespace kestrune
