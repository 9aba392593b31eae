// The channel messages: create, edit, delete and enter channels, send a
// client to the lobby (MSG_CHANNEL), channel passwords (MSG_CHANNEL_AUTH), a
// client's own texts (MSG_USER_LIST), and the channel parts of a login.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "channels/channel_tree.h"
#include "net/message.h"

namespace kestrune {

class Connection;
class Protocol;

// MSG_CHANNEL actions.
enum ChannelAction : std::uint16_t {
  kChannelCreate = 1,
  kChannelDelete = 2,
  kChannelEnter = 3,
  kChannelEdit = 5,
  kChannelPasswordNeeded = 7,
  kChannelToLobby = 9,
};

// Notification flags of MSG_CHANNEL and the channel list.
inline constexpr std::uint32_t kChannelFlagCreator = 0x8;
inline constexpr std::uint32_t kChannelFlagPassword = 0x100;
inline constexpr std::size_t kChannelsPerList = 16;

// The notification of `action` about the channel (the comment only when
// `withComment`).
std::unique_ptr<Message> BuildChannelNotice(std::uint16_t action, const Channel& channel,
                                            bool creator, bool withComment);
// The channel list in tree order, 16 records a message, then the empty end
// mark; nothing for an empty tree.
std::vector<std::unique_ptr<Message>> BuildChannelList(const ChannelTree& tree, bool withComments);
// MSG_PHANTOM action 1 for a phantom that is gone.
std::unique_ptr<Message> BuildPhantomGone(const Connection& phantom);

class ChannelMessages {
 public:
  explicit ChannelMessages(Protocol& protocol);
  // Registers the handlers and the login's channel steps with the protocol.
  void Register();

  void SendChannelList(Connection& connection);
  void EnterDefaultChannel(Connection& connection, std::uint16_t channel);

 private:
  void HandleChannel(Connection& connection, Message& message, bool& disconnect);
  void Create(Connection& connection, Message& message, const ChannelProperties& properties,
              const std::string texts[3]);
  void Delete(Connection& connection, Message& message);
  void Enter(Connection& connection, Message& message, bool& disconnect);
  void Edit(Connection& connection, Message& message, const ChannelProperties& properties,
            const std::string texts[3]);
  void SendToLobby(Connection& connection, Message& message);
  void HandleChannelAuth(Connection& connection, Message& message, bool& disconnect);
  void HandleUserList(Connection& connection, Message& message, bool& disconnect);

  // To every logged-in, non-phantom client with SeeChan.
  void Notify(std::uint16_t action, const Channel& channel, const Connection* creator);
  // What goes before a channel leaves the tree: its phantoms, its clients
  // to the lobby, the removal notice.
  void EmptyChannel(Channel& channel);
  void Refuse(Connection& connection, std::uint16_t code, std::uint16_t detail = 0,
              bool detailFlag = false);

  Protocol& protocol_;
};

}  // namespace kestrune
