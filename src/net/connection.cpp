#include "net/connection.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>

#include "config/log.h"
#include "config/settings.h"
#include "store/ini_file.h"
#include "util/text.h"

namespace kestrune {

NetOptions NetOptions::From(const ServerSettings& settings, bool daemon) {
  NetOptions options;
  options.extraBuffer = settings.extraBuffer > 0 ? static_cast<std::uint32_t>(settings.extraBuffer)
                                                 : ServerSettings::kDefaultBuffer;
  options.daemon = daemon;
  return options;
}

Connection::Connection(ByteCounters* listenerCounters, std::uint16_t connectionId)
    : listener(listenerCounters), id(connectionId) {}

Connection::~Connection() {
  Close();
}

void Connection::Attach(int fd, const sockaddr_in& peer, std::uint32_t nowSeconds) {
  socket = fd;
  peerSocketAddress = peer;
  peerAddress = peer.sin_addr.s_addr;
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
  addressText = text;
  peerPort = ntohs(peer.sin_port);
  name = addressText;
  connectTime = nowSeconds;
  accepted = true;
}

void Connection::SetLoginIdentity(std::string_view loginName, std::string_view phonetic) {
  name.assign(loginName);
  if (HasPermission(kPermPhonetic)) phoneticName.assign(phonetic);
  loggedOn = true;
}

void Connection::Close() {
  administrator = false;
  logWatch = false;
  closing = true;
  if (socket >= 0) {
    shutdown(socket, SHUT_RDWR);
    ::close(socket);
    socket = -1;
  }
  sendQueue.Clear();
}

bool Connection::KickedForMoreThan(std::uint32_t nowMs, std::uint32_t ms) const {
  if (kickedAt == 0) return false;
  std::uint32_t start = kickedAt;
  return ElapsedMs(start, nowMs, ms);
}

ConnectionTable::ConnectionTable(Clock& clock, Log& log, NetOptions options)
    : clock_(clock), log_(log), options_(options) {
  slots_.reserve(kSlots);
}

ConnectionTable::~ConnectionTable() {
  // Last in first: destroying sends trace notices to entries still present.
  while (!slots_.empty()) Remove(slots_.back().get());
}

int ConnectionTable::Add(std::unique_ptr<Connection> connection, bool phantom) {
  if (!connection) return -1;
  if (phantom && slots_.size() >= kCapacity) {
    Destroy(std::move(connection));
    return -2;
  }
  if (slots_.size() >= kSlots) {
    Destroy(std::move(connection));
    return -1;
  }
  slots_.push_back(std::move(connection));
  return 0;
}

int ConnectionTable::Remove(Connection* connection) {
  for (auto it = slots_.begin(); it != slots_.end(); ++it) {
    if (it->get() == connection) {
      std::unique_ptr<Connection> owned = std::move(*it);
      slots_.erase(it);
      Destroy(std::move(owned));
      return 0;
    }
  }
  return -1;
}

void ConnectionTable::Destroy(std::unique_ptr<Connection> connection) {
  if (!connection) return;
  for (auto& other : slots_) {
    if (other.get() != connection.get() && other->pingTraceTarget != 0 &&
        other->pingTraceTarget == static_cast<std::int16_t>(connection->id)) {
      SendConsoleText(other.get(), "PingTrace: ID %4u, Stopped. User has disconnected.",
                      static_cast<unsigned>(connection->id));
      other->pingTraceTarget = 0;
    }
  }
  connection->Close();
}

void ConnectionTable::RemovePhantomsOf(std::uint16_t ownerId) {
  if (ownerId == 0) return;
  for (;;) {
    Connection* phantom = nullptr;
    for (auto& entry : slots_) {
      if (entry->phantomOwner == ownerId) {
        phantom = entry.get();
        break;
      }
    }
    if (phantom == nullptr) return;
    Discard(*phantom);
  }
}

void ConnectionTable::Discard(Connection& connection) {
  if (removalPath_) {
    removalPath_(connection);
  } else {
    Remove(&connection);
  }
}

void ConnectionTable::ClearClientFlag(std::uint16_t id) {
  if (id >= 1024) return;
  for (auto& entry : slots_) entry->clientFlags[id] = 0;
}

Connection* ConnectionTable::FindById(std::uint16_t id) {
  for (auto& entry : slots_) {
    if (entry->id == id) return entry.get();
  }
  return nullptr;
}

Connection* ConnectionTable::ResolveOwner(Connection& connection) {
  if (!connection.IsPhantom()) return &connection;
  return FindById(connection.phantomOwner);
}

int ConnectionTable::AllocateId(std::uint16_t& id) {
  for (int tries = 0; tries < 1024; ++tries) {
    lastId_ = static_cast<std::uint16_t>((lastId_ + 1) % 1024);
    if (lastId_ == 0) lastId_ = 1;
    if (FindById(lastId_) == nullptr && (channels_ == nullptr || !channels_->HoldsId(lastId_))) {
      id = lastId_;
      return 0;
    }
  }
  return -1;
}

std::unique_ptr<Message> ConnectionTable::Receive(Connection& connection) {
  if (connection.socket < 0) return nullptr;
  std::unique_ptr<Message> message;
  std::uint64_t bytes = 0;
  ReadStatus status =
      connection.reader.Read(connection.socket, connection.receiveCipher, message, bytes);
  connection.bytesReceived += bytes;
  if (connection.listener != nullptr) connection.listener->received += bytes;
  switch (status) {
    case ReadStatus::kMessage:
      if (connection.closing) return nullptr;
      return message;
    case ReadStatus::kWaiting:
      return nullptr;
    case ReadStatus::kError:
      connection.Close();
      log_.Write("NET: ID %u, Disconnect, %d.", static_cast<unsigned>(connection.id),
                 connection.reader.LastError());
      return nullptr;
    case ReadStatus::kPeerClosed:
    case ReadStatus::kBadLength:
    case ReadStatus::kNoKey:
      connection.Close();
      return nullptr;
  }
  return nullptr;
}

void ConnectionTable::SendToClient(Connection& connection, std::unique_ptr<Message> message) {
  if (message) SendCopy(connection, *message);
}

void ConnectionTable::SendCopy(Connection& connection, const Message& message) {
  // A frame carries 1 to 4096 bytes; an empty one would make the peer drop us.
  if (message.Length() == 0) return;
  if (connection.IsPhantom() || connection.silentRemoval || !connection.maySend ||
      connection.socket < 0) {
    return;
  }
  if (!connection.loggedOn) {
    std::uint16_t type = message.Type();
    if (type != MSG_SERVER_TEXT && type != MSG_SERVER_INFO && type != MSG_REFUSAL) return;
  }
  std::vector<std::uint8_t> frame;
  if (!BuildFrame(message, connection.sendCipher, frame)) return;
  if (!connection.sendQueue.Empty() &&
      connection.sendQueue.Queued() + frame.size() >= options_.extraBuffer) {
    connection.Close();
    return;
  }
  connection.sendQueue.Push(std::move(frame));
  Flush(connection);
}

int ConnectionTable::Flush(Connection& connection) {
  if (connection.socket < 0) return -1;
  std::uint64_t bytes = 0;
  FlushStatus status = connection.sendQueue.Flush(connection.socket, bytes);
  connection.bytesSent += bytes;
  if (connection.listener != nullptr) connection.listener->sent += bytes;
  if (status == FlushStatus::kError) connection.Close();
  return 0;
}

int ConnectionTable::AddToSelectSets(fd_set& read, fd_set& write, fd_set& except, int highest) {
  for (auto& entry : slots_) {
    Connection& c = *entry;
    if (!c.accepted || c.IsPhantom() || c.silentRemoval || c.socket < 0) continue;
    if (c.socket >= FD_SETSIZE) {
      // Never write past the sets; such a socket cannot be served.
      log_.Write("ERROR: ID %u, socket %d does not fit the wait sets.", static_cast<unsigned>(c.id),
                 c.socket);
      c.Close();
      continue;
    }
    FD_SET(c.socket, &read);
    FD_SET(c.socket, &except);
    if (c.HasQueuedOutput()) FD_SET(c.socket, &write);
    if (c.socket > highest) highest = c.socket;
  }
  return highest;
}

void ConnectionTable::MarkKicked(Connection& connection) {
  connection.closing = true;
  std::uint32_t now = clock_.NowMs();
  // 0 means "not kicked"; a kick in the clock's very first millisecond counts as 1.
  connection.kickedAt = now == 0 ? 1 : now;
}

void ConnectionTable::DisconnectWithNotice(Connection& connection, int reason, int minutes,
                                           std::string_view text) {
  Connection* target = ResolveOwner(connection);
  if (target == nullptr) return;
  SendRefusal(*target, static_cast<std::uint16_t>(reason), static_cast<std::uint16_t>(minutes),
              false, true, text);
}

void ConnectionTable::Kick(Connection& connection, bool ban, std::string_view text) {
  DisconnectWithNotice(connection, ban ? kReasonKickedBanned : kReasonKicked, 0, text);
}

void ConnectionTable::DisconnectByName(std::string_view name) {
  std::string wanted(name);
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    Connection& c = *slots_[i];
    // A phantom carrying the name would take its owner down with it.
    if (!c.IsPhantom() && EqualsIgnoreCase(c.name, wanted)) {
      DisconnectWithNotice(c, kReasonAccountDeleted, 0);
    }
  }
}

void ConnectionTable::SpamVerdict(Connection& connection, int verdict) {
  if (verdict == 1) {
    DisconnectWithNotice(connection, kReasonSpamming, 0);
  } else if (verdict == 2) {
    if (spamBan_) spamBan_(connection);
    DisconnectWithNotice(connection, kReasonBannedSpamming, 0);
  }
}

void ConnectionTable::CloseAllExcept(Connection* keep) {
  for (auto& entry : slots_) {
    if (entry.get() != keep && !entry->IsPhantom()) entry->Close();
  }
}

void ConnectionTable::ClientStatusLines(Connection* admin, Connection& target) {
  std::uint32_t now = clock_.NowSeconds();
  std::uint32_t seconds = now >= target.connectTime ? now - target.connectTime : 0;
  SendConsoleText(admin, "Name          = %s", target.name.c_str());
  SendConsoleText(admin, "IP            = %s (%u)", target.addressText.c_str(),
                  static_cast<unsigned>(target.peerPort));
  SendConsoleText(admin, "Comment       = %s", target.comment.c_str());
  SendConsoleText(admin, "Platform      = %s", target.platform.c_str());
  SendConsoleText(admin, "Version       = %s", target.version.c_str());
  SendConsoleText(admin, "Channel       = %u", static_cast<unsigned>(target.channel));
  SendConsoleText(admin, "Ping          = %d", static_cast<int>(target.pingTime));
  SendConsoleText(admin, "Connect dur   = %s", FormatDuration(seconds).c_str());
  SendConsoleText(admin, "Bytes from    = %lld", static_cast<long long>(target.bytesReceived));
  SendConsoleText(admin, "Bytes to      = %lld", static_cast<long long>(target.bytesSent));
}

void ConnectionTable::SendServerText(Connection* connection, std::string_view text,
                                     std::uint16_t code, std::uint16_t flags) {
  auto message = CreateMessage(MSG_SERVER_TEXT);
  message->SetU16(6, code);
  message->SetU16(8, flags);
  // 14 bytes of header and fixed body, the text, its terminator.
  const std::size_t room = Message::kMaxLength - message->Length() - 1;
  AppendText(*message, 12, text.substr(0, room));
  const bool closes = (flags & 1) != 0;
  auto deliver = [&](Connection& c, std::unique_ptr<Message> copy) {
    if (closes) c.maySend = true;
    SendToClient(c, std::move(copy));
    if (closes) MarkKicked(c);
  };
  if (connection != nullptr) {
    deliver(*connection, std::move(message));
    return;
  }
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    Connection& c = *slots_[i];
    if (c.loggedOn && !c.IsPhantom()) deliver(c, message->Clone());
  }
}

void ConnectionTable::SendRefusal(Connection& connection, std::uint16_t code, std::uint16_t detail,
                                  bool detailFlag, bool close, std::string_view text) {
  auto message = CreateMessage(MSG_REFUSAL);
  message->SetU16(4, code);
  message->SetU16(6, detail);
  message->SetU16(8, detailFlag ? 1 : 0);
  message->SetU16(10, close ? 1 : 0);
  WriteCountedString(*message, text);
  if (close) connection.maySend = true;
  SendToClient(connection, std::move(message));
  if (close) MarkKicked(connection);
}

void ConnectionTable::SendConsoleText(Connection* connection, const char* format, ...) {
  char text[2048];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (connection == nullptr) {
    if (!options_.daemon) std::printf("%s\n", text);
    return;
  }
  auto message = CreateMessage(MSG_CHAT);
  message->SetU16(4, connection->id);
  message->SetU16(6, 3);
  // A longer text would not be written at all: the client gets it cut.
  WriteCountedString(*message, std::string_view(text).substr(0, Message::kMaxCountedString));
  SendToClient(*connection, std::move(message));
}

void ConnectionTable::Broadcast(Connection* sender, const Message& message, bool skipSender,
                                bool allChannels) {
  if (slots_.empty()) return;
  broadcastStart_ = (broadcastStart_ + 1) % kSlots;
  for (std::size_t k = 0; k < kSlots; ++k) {
    std::size_t slot = (broadcastStart_ + k) % kSlots;
    if (slot >= slots_.size()) continue;
    Connection& recipient = *slots_[slot];
    if (!recipient.loggedOn) continue;
    if (skipSender && &recipient == sender) continue;
    if (sender != nullptr && &recipient != sender) {
      std::size_t needed = sender->guest ? kPermSeeGuests : kPermSeeNonGuests;
      if (!recipient.HasPermission(needed)) continue;
    }
    if (!allChannels && sender != nullptr && recipient.channel != sender->channel) continue;
    SendCopy(recipient, message);
  }
}

}  // namespace kestrune
