// The text traffic between clients: the chat room (with the console prefix),
// text-to-speech lines, sound events, pages, and the client's own settings 0
// to 3 of MSG_USER_SETTING.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "net/message.h"

namespace kestrune {

class Connection;
class Protocol;

enum ChatAction : std::uint16_t {
  kChatJoin = 0,
  kChatLeave = 1,
  kChatLine = 2,
  kChatConsole = 3,
  kChatJoinRefused = 4,
};

// MSG_CHAT with `action` about client `id`, no text.
std::unique_ptr<Message> BuildChatNotice(std::uint16_t action, std::uint16_t id);

class TextMessages {
 public:
  // A chat line that starts with the console prefix: the command after it.
  using ConsoleHook = std::function<void(Connection&, const std::string& command)>;

  explicit TextMessages(Protocol& protocol) : protocol_(protocol) {}
  void Register();
  void SetConsoleHook(ConsoleHook hook) { console_ = std::move(hook); }

  // Login: one join notice per client in chat; each other client's non-zero
  // own settings and its mutes.
  void SendChatters(Connection& connection);
  void SendSettings(Connection& connection);

 private:
  void HandleChat(Connection& connection, Message& message, bool& disconnect);
  void ChatLine(Connection& connection, Message& message, bool& disconnect);
  void AnnounceChat(Connection& connection, std::uint16_t action);
  void HandleBind(Connection& connection, Message& message, bool& disconnect, bool wave);
  void HandlePage(Connection& connection, Message& message, bool& disconnect);
  void HandleUserSetting(Connection& connection, Message& message, bool& disconnect);

  Protocol& protocol_;
  ConsoleHook console_;
};

}  // namespace kestrune
