#include "server/services.h"

#include <string>
#include <vector>

#include "channels/channel_access.h"
#include "console/remote_console.h"
#include "protocol/channel_messages.h"
#include "protocol/complaints.h"
#include "protocol/motd_messages.h"
#include "protocol/moves.h"
#include "protocol/phantoms.h"
#include "protocol/protocol.h"
#include "protocol/store_editors.h"
#include "protocol/text_messages.h"
#include "protocol/user_admin.h"
#include "protocol/voice_relay.h"
#include "server/server.h"
#include "status/status_responder.h"
#include "status/update_check.h"

namespace kestrune {
namespace {

// The handlers of the message groups, what the account and rank stores ask
// of live connections' channels, and the parts of a login they supply.
struct MessageHandlers {
  ChannelMessages& channels;
  VoiceRelay& voice;
  TextMessages& texts;
  Phantoms& phantoms;
};

void WireHandlers(Server& server, Protocol& protocol, const MessageHandlers& handlers) {
  ChannelMessages& channels = handlers.channels;
  VoiceRelay& voice = handlers.voice;
  TextMessages& texts = handlers.texts;
  voice.Register();
  texts.Register();
  server.hooks.floorCheck = [&voice](Connection& c) { voice.FloorCheck(c); };
  ChannelPresence& presence = protocol.Presence();
  channels.Register();
  // Every phantom that goes, whatever the cause, is gone for every client.
  server.hooks.phantomGone = [&server](Connection& phantom) {
    server.table().Broadcast(nullptr, *BuildPhantomGone(phantom), false, true);
  };
  ConnectionBridge::ChannelHooks hooks;
  hooks.resetAccess = [&server](Connection& c) { ResetAccess(server.channels(), c.id); };
  hooks.setAdminChannels = [&presence](Connection& c, const std::vector<std::uint16_t>& list) {
    presence.SetAdminChannels(c, list, true);
  };
  hooks.grantChannelAuth = [&presence](Connection& c, std::uint16_t channel) {
    presence.GrantChannelAuth(c, channel);
  };
  hooks.refreshChannelView = [&presence](Connection& c) { presence.RefreshChannelView(c); };
  hooks.takeOutOfChannel = [&presence](Connection& c) { presence.TakeOutOfChannel(c); };
  hooks.rankLevelChanged = [&presence](std::uint16_t rank) { presence.RankLevelChanged(rank); };
  server.bridge().SetChannelHooks(std::move(hooks));

  Protocol::LoginHooks login;
  // The login sends the list itself, after recording it.
  login.recordAdminChannels = [&presence](Connection& c, const std::vector<std::uint16_t>& list) {
    presence.SetAdminChannels(c, list, false);
  };
  login.sendChannelList = [&channels](Connection& c) { channels.SendChannelList(c); };
  login.enterDefaultChannel = [&channels](Connection& c, std::uint16_t channel) {
    channels.EnterDefaultChannel(c, channel);
  };
  login.sendTalkers = [&voice](Connection& c) { voice.SendTalkers(c); };
  login.sendChatters = [&texts](Connection& c) { texts.SendChatters(c); };
  login.sendSettings = [&texts](Connection& c) { texts.SendSettings(c); };
  Phantoms& phantoms = handlers.phantoms;
  phantoms.Register();
  login.sendPhantoms = [&phantoms](Connection& c) { phantoms.SendPhantoms(c); };
  protocol.SetLoginHooks(std::move(login));
}

// The console changes the running settings; timestamp also reaches the log,
// and both have the copies the switches set.
ConsoleContext ConsoleContextOf(Server& server, Protocol& protocol,
                                const ConsoleSwitches& switches) {
  auto interfaces = [&server] {
    std::vector<InterfaceStats> interfaces;
    ListenerTable& tcp = server.listeners().tcp;
    for (std::size_t i = 0; i < tcp.Count(); ++i) {
      const Listener& listener = tcp.At(i);
      interfaces.push_back(InterfaceStats{listener.interfaceName, listener.counters.received,
                                          listener.counters.sent, listener.acceptCount});
    }
    return interfaces;
  };
  auto uptime = [&server] {
    const std::time_t now = server.clock().WallSeconds();
    return static_cast<std::uint32_t>(now > server.startTime ? now - server.startTime : 0);
  };
  return ConsoleContext{protocol,
                        server.settings(),
                        server.files().log,
                        kServerTitle,
                        [switches](int value) {
                          if (switches.diag) switches.diag(value);
                        },
                        [&server, switches](int value) {
                          server.log().SetTimeStamp(value != 0);
                          if (switches.timeStamp) switches.timeStamp(value);
                        },
                        [] { stopConsole = 1; },
                        interfaces,
                        uptime};
}

StatusResponderContext StatusContextOf(Server& server, Protocol& protocol) {
  // Status replies list the channels in tree order with their raw ids; the
  // responder adds the status id offset.
  ChannelTree& tree = server.channels();
  return StatusResponderContext{
      server.table(),
      server.settings(),
      server.properties(),
      server.clock(),
      server.statusIdOffset,
      server.startTime,
      kServerVersion,
      [&tree] {
        std::vector<StatusChannel> channels;
        for (std::size_t i = 0; i < tree.Count(); ++i) {
          const Channel& channel = tree.At(i);
          channels.push_back(StatusChannel{channel.id, channel.parent, channel.ProtMode(),
                                           channel.name, channel.comment});
        }
        return channels;
      },
      [&protocol](const Connection& connection) {
        return protocol.Sessions().Of(connection.id).statusName;
      }};
}

ProtocolContext ProtocolContextOf(Server& server) {
  return ProtocolContext{server.table(),           server.settings(),   server.log(),
                         server.clock(),           *server.accounts(),  *server.ranks(),
                         server.properties(),      *server.bans(),      server.channels(),
                         server.loggedOnUsers,     server.loggedOnPeak, server.files().motd,
                         server.files().guestMotd, kServerVersion};
}

}  // namespace

// Members in the order they must be built; they are destroyed in reverse.
struct ServerServices::Parts {
  Parts(Server& server, const ConsoleSwitches& switches)
      : protocol(ProtocolContextOf(server)),
        channelMessages(protocol),
        voiceRelay(protocol),
        textMessages(protocol),
        phantoms(protocol),
        motdMessages(protocol),
        complaints(protocol),
        userAdmin(protocol),
        moveMessages(protocol),
        storeEditors(protocol, *server.ranks(), server.properties(), server.files().properties),
        console(ConsoleContextOf(server, protocol, switches)),
        statusResponder(StatusContextOf(server, protocol)) {}

  Protocol protocol;
  ChannelMessages channelMessages;
  VoiceRelay voiceRelay;
  TextMessages textMessages;
  Phantoms phantoms;
  MotdMessages motdMessages;
  Complaints complaints;
  UserAdmin userAdmin;
  MoveMessages moveMessages;
  StoreEditors storeEditors;
  RemoteConsole console;
  StatusResponder statusResponder;
};

ServerServices::ServerServices(Server& server, ConsoleSwitches switches)
    : server_(server), parts_(std::make_unique<Parts>(server, switches)) {
  Parts& p = *parts_;
  Protocol& protocol = p.protocol;
  server.hooks.dispatch = [&protocol](Connection& connection, Message& message) {
    protocol.Handle(connection, message);
  };
  server.hooks.departure = [&protocol](Connection& connection) { protocol.Depart(connection); };
  WireHandlers(server, protocol,
               MessageHandlers{p.channelMessages, p.voiceRelay, p.textMessages, p.phantoms});
  p.motdMessages.Register();
  p.complaints.Register();
  p.userAdmin.Register();
  p.moveMessages.Register();
  p.storeEditors.Register();
  StoreEditors& storeEditors = p.storeEditors;
  server.bridge().SetAnnounceRankChange(
      [&storeEditors](Connection& c) { storeEditors.AnnounceRankChange(c); });
  RemoteConsole& console = p.console;
  p.textMessages.SetConsoleHook(
      [&console](Connection& issuer, const std::string& line) { console.Run(&issuer, line); });
  server.hooks.consoleLine = [&console](const std::string& line) { console.Run(nullptr, line); };
  StatusResponder& statusResponder = p.statusResponder;
  server.hooks.statusRequest = [&statusResponder](const StatusRequest& request, int socket) {
    statusResponder.Answer(request, socket);
  };
  // What the update check learns becomes the protocol's new-version notice.
  if (UpdateCheck* update = server.updateCheck()) {
    update->SetAnswerSink([&protocol](const UpdateTexts& texts) {
      protocol.NewVersion() =
          NewVersionRecord{texts.newestVersion, texts.requiredClient, texts.downloadLocation};
    });
  }
}

ServerServices::~ServerServices() {
  // No hook may outlive the object it reaches.
  server_.SetDefaultHooks();
  server_.bridge().SetChannelHooks({});
  server_.bridge().SetAnnounceRankChange(nullptr);
  if (UpdateCheck* update = server_.updateCheck()) update->SetAnswerSink(nullptr);
  parts_->textMessages.SetConsoleHook(nullptr);
}

Protocol& ServerServices::protocol() {
  return parts_->protocol;
}

}  // namespace kestrune
