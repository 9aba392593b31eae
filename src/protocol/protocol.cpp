#include "protocol/protocol.h"

#include <arpa/inet.h>

#include "config/log.h"
#include "protocol/client_records.h"
#include "protocol/inactivity.h"
#include "store/account_store.h"
#include "store/ban_list.h"
#include "store/penalty_tracker.h"
#include "store/permission_block.h"
#include "store/server_properties.h"
#include "util/clock.h"

namespace kestrune {

namespace {

constexpr std::uint16_t kIgnoredType = 84;
constexpr std::uint16_t kDiscardedType = 75;
constexpr int kDiscardedBody = 8;

// The checks of a type whose handler is not built yet.
struct TypeRule {
  std::uint16_t type;
  bool needsLogin;
  bool exact;  // else: at least
  int body;
};

constexpr TypeRule kPendingRules[] = {
    {MSG_CHANNEL_AUTH, true, true, 48},
    {MSG_RANK_ADMIN, true, false, 12},
    {MSG_TTS, true, false, 4},
    {MSG_MOVE_USER, true, true, 8},
    {MSG_WAVE, true, false, 4},
    {MSG_CHAT, true, false, 8},
    {MSG_USER_SETTING, true, true, 8},
    {MSG_CHANNEL, true, false, 84},
    {MSG_ACCOUNT_ADMIN, true, false, 16},
    {MSG_SERVER_PROPS, false, false, 8},
    {MSG_MOTD, true, true, 268},
    {MSG_VOICE, true, false, 20},
    {MSG_COMPLAINT, true, false, 20},
    {MSG_PHANTOM, true, true, 16},
    {MSG_USER_LIST, true, false, 22},
    {MSG_BAN_LIST, true, true, 208},
    {MSG_PAGE, true, true, 8},
    {MSG_USER_ADMIN, true, true, 136},
};

const TypeRule* PendingRule(std::uint16_t type) {
  for (const TypeRule& rule : kPendingRules) {
    if (rule.type == type) return &rule;
  }
  return nullptr;
}

// Ping-trace targets other than a client id.
constexpr std::uint16_t kTraceEveryone = 65535;
constexpr std::uint16_t kTraceOwnChannel = 65534;

}  // namespace

std::uint32_t PenaltyAddress(const Connection& connection) {
  return ntohl(connection.peerAddress);
}

Protocol::Protocol(ProtocolContext context)
    : context_(std::move(context)),
      presence_(context_.table, context_.channels, context_.ranks, sessions_) {
  handlers_[MSG_HANDSHAKE] = [this](Connection& c, Message& m, std::string& e, bool& d) {
    Handshake(c, m, e, d);
  };
  handlers_[MSG_LOGIN] = [this](Connection& c, Message& m, std::string& e, bool& d) {
    Login(c, m, e, d);
  };
  handlers_[MSG_PING] = [this](Connection& c, Message& m, std::string&, bool& d) {
    PingAnswer(c, m, d);
  };
}

void Protocol::SetHandler(std::uint16_t type, Handler handler) {
  if (type < handlers_.size()) handlers_[type] = std::move(handler);
}

void Protocol::Dispatch(Connection& connection, std::unique_ptr<Message> message) {
  if (message) Handle(connection, *message);
}

void Protocol::Handle(Connection& connection, Message& message) {
  const std::uint16_t type = message.Type();
  std::string error;
  bool disconnect = false;
  if (type == kIgnoredType) {
    // Discarded without any check.
  } else if (type == kDiscardedType) {
    if (!connection.loggedOn || message.BodySize() != kDiscardedBody) disconnect = true;
  } else if (type < handlers_.size() && handlers_[type]) {
    handlers_[type](connection, message, error, disconnect);
  } else if (PendingRule(type) != nullptr) {
    CheckAndIgnore(connection, message, disconnect);
  } else {
    UnknownType(connection);
    disconnect = true;
  }
  if (!error.empty()) context_.log.Write("%s", error.c_str());
  if (disconnect) {
    connection.pingOutstanding = false;
    connection.talking = false;
    connection.Close();
  }
}

void Protocol::CheckAndIgnore(Connection& connection, Message& message, bool& disconnect) {
  const TypeRule& rule = *PendingRule(message.Type());
  if (rule.needsLogin && !connection.loggedOn) {
    disconnect = true;
    return;
  }
  const bool sizeOk = rule.exact ? SizeExact(message, rule.body) : SizeAtLeast(message, rule.body);
  if (!sizeOk) disconnect = true;
}

void Protocol::UnknownType(Connection& connection) {
  // Before login there is no account to hold the offence.
  if (!connection.loggedOn) return;
  ReportOffence(connection, AccountOf(connection), kOffenceUnknownMessage);
}

UserAccount* Protocol::AccountOf(const Connection& connection) {
  if (connection.guest) return context_.accounts.GuestAccount();
  return context_.accounts.FindByName(connection.name);
}

void Protocol::ReportOffence(Connection& connection, UserAccount* account, int kind) {
  if (account == nullptr) return;
  const int result = account->penalties.RecordOffence(PenaltyAddress(connection), kind,
                                                      context_.clock.WallSeconds());
  // A penalty that starts ends the connection; one already closing keeps its notice.
  if (result == PenaltyTracker::kPenaltyStarted && !connection.closing) connection.Close();
}

int Protocol::LoggedInCount() {
  int count = 0;
  for (std::size_t i = 0; i < context_.table.Count(); ++i) {
    const Connection& c = context_.table.At(i);
    if (c.loggedOn && !c.IsPhantom()) ++count;
  }
  return count;
}

void Protocol::PingAnswer(Connection& connection, Message& message, bool& disconnect) {
  if (!connection.loggedOn || !SizeExact(message, 8) || !connection.pingOutstanding ||
      message.GetU16(6) != connection.pingCookie) {
    disconnect = true;
    return;
  }
  const std::uint32_t now = context_.clock.NowMs();
  const std::uint32_t roundTrip = now - connection.lastPing;
  connection.pingTime = static_cast<std::int16_t>(roundTrip > 32767 ? 32767 : roundTrip);
  connection.pingOutstanding = false;
  sessions_.Of(connection.id).lastPingAnswer = now;
  ConnectionTable& table = context_.table;
  for (std::size_t i = 0; i < table.Count(); ++i) {
    Connection& tracer = table.At(i);
    const auto target = static_cast<std::uint16_t>(tracer.pingTraceTarget);
    if (target == 0 || tracer.IsPhantom()) continue;
    const bool traced = target == kTraceEveryone ||
                        (target == kTraceOwnChannel && tracer.channel == connection.channel) ||
                        target == connection.id;
    if (traced) {
      table.SendConsoleText(&tracer, "PingTrace: ID %4u, Ping %u",
                            static_cast<unsigned>(connection.id), roundTrip);
    }
  }
  // The client reports its own idle seconds.
  ApplyInactivity(*this, connection, message.GetU16(10));
}

void Protocol::Depart(Connection& connection) {
  if (!connection.loggedOn || connection.IsPhantom()) return;
  if (context_.loggedOnUsers > 0) --context_.loggedOnUsers;
  SessionState& state = sessions_.Of(connection.id);
  AnnounceClient(context_.table, connection, state, kUserListRemoved, 0);
  const std::uint32_t now = context_.clock.NowSeconds();
  const std::uint32_t seconds = now >= connection.connectTime ? now - connection.connectTime : 0;
  context_.log.Write(
      "MSG_DISC: ID %u, From=%lld, To=%lld, Sec=%u, Name=%s", static_cast<unsigned>(connection.id),
      static_cast<long long>(connection.bytesReceived),
      static_cast<long long>(connection.bytesSent), seconds, connection.name.c_str());
  // Closing cleared the administrator mark; the permission copy still shows it.
  const bool adminMode =
      connection.administrator || connection.HasPermission(PermissionBlock::kAdminModeMirror);
  const int minutes = context_.properties.guestAutoBan;
  if (connection.guest && minutes > 0 && !state.spareGuestBan && !adminMode) {
    context_.bans.AutoBan(context_.table, connection, static_cast<std::uint32_t>(minutes), false);
  }
  sessions_.Reset(connection.id);
}

void Protocol::SendNewVersionNotice(Connection& connection) {
  const std::string text = NewVersionText(newVersion_);
  if (text.empty()) return;
  context_.table.SendServerText(&connection, text, 0, 0);
}

}  // namespace kestrune
