#include "status/status_responder.h"

#include "config/settings.h"
#include "net/connection.h"
#include "status/append_format.h"
#include "store/server_properties.h"
#include "util/clock.h"
#include "util/text.h"

namespace kestrune {
namespace {

// One listed client, read once per reply.
struct ClientRow {
  int admin = 0;
  int channel = 0;
  int phantom = 0;
  int ping = 0;
  unsigned seconds = 0;
  std::string name;     // escaped, or the hidden name
  std::string comment;  // escaped; empty unless it is to be shown
  bool showComment = false;
};

// Everything both reply forms show, escaped where it is text.
struct Snapshot {
  std::string name;
  std::string phonetic;
  bool showComment = false;
  std::string comment;
  int auth = 0;
  int codec = 0;
  std::string codecName;
  int format = 0;
  std::string formatName;
  unsigned uptime = 0;
  std::string version;
  bool showChannels = false;
  bool showChannelComments = false;
  std::vector<StatusChannel> channels;  // names and comments escaped, ids offset
  std::vector<ClientRow> clients;
};

int WithOffset(int id, int offset) {
  return id != 0 ? id + offset : 0;
}

Snapshot TakeSnapshot(const StatusResponderContext& c) {
  const ServerSettings& settings = c.settings;
  const ServerProperties& properties = c.properties;
  // One offset for the whole reply, even if the loop draws a new one later.
  const int offset = c.idOffset;
  Snapshot s;
  s.name = EscapeText(settings.name);
  s.phonetic = EscapeText(settings.phonetic);
  s.showComment = properties.statusServerComment != 0;
  s.comment = EscapeText(properties.comment);
  s.auth = settings.auth;
  s.codec = settings.voiceCodec;
  if (const CodecRecord* codec = CodecByNumber(settings.voiceCodec)) {
    s.codecName = EscapeText(codec->name);
  }
  s.format = settings.voiceFormat;
  if (const FormatRecord* format = FormatByNumber(settings.voiceCodec, settings.voiceFormat)) {
    s.formatName = EscapeText(format->description);
  }
  const std::time_t now = c.clock.WallSeconds();
  s.uptime = static_cast<unsigned>(now > c.startTime ? now - c.startTime : 0);
  s.version = EscapeText(c.serverVersion);

  s.showChannels = properties.statusChanNames != 0;
  s.showChannelComments = properties.statusChanComments != 0;
  if (s.showChannels && c.channels) {
    s.channels = c.channels();
    for (StatusChannel& channel : s.channels) {
      channel.id = static_cast<std::uint16_t>(WithOffset(channel.id, offset));
      channel.parent = static_cast<std::uint16_t>(WithOffset(channel.parent, offset));
      channel.name = EscapeText(channel.name);
      channel.comment = EscapeText(channel.comment);
    }
  }

  const bool showNames = properties.statusUserNames != 0;
  const bool showComments = properties.statusUserComments != 0;
  const std::uint32_t nowSeconds = c.clock.NowSeconds();
  for (std::size_t i = 0; i < c.table.Count(); ++i) {
    const Connection& connection = c.table.At(i);
    const bool phantom = connection.IsPhantom();
    if (!phantom && !connection.loggedOn) continue;
    ClientRow row;
    row.admin = connection.administrator ? 1 : 0;
    row.channel = WithOffset(connection.channel, offset);
    row.phantom = phantom ? 1 : 0;
    row.ping = phantom ? 0 : connection.pingTime;
    row.seconds = nowSeconds > connection.connectTime ? nowSeconds - connection.connectTime : 0;
    const bool nameShown = showNames && c.nameVisibility && c.nameVisibility(connection) != 0;
    row.name = nameShown ? EscapeText(connection.name) : kHiddenStatusName;
    row.showComment = nameShown && showComments;
    if (row.showComment) row.comment = EscapeText(connection.comment);
    s.clients.push_back(std::move(row));
  }
  return s;
}

}  // namespace

int SendStatusReplyText(int socket, std::uint16_t requestId, std::string_view text,
                        std::uint32_t address, std::uint16_t port) {
  return StatusSendText(socket, kStatusReply, requestId, text, address, port);
}

bool StatusRateTable::Admit(std::uint32_t address, std::uint32_t nowMs) {
  Entry* candidate = nullptr;
  for (Entry& entry : entries_) {
    if (entry.address == address) {
      if (!ElapsedMs(entry.time, nowMs, kIntervalMs)) return false;
      entry.time = nowMs;
      return true;
    }
    if (candidate != nullptr) continue;
    if (entry.address == 0) {
      candidate = &entry;
    } else if (ElapsedMs(entry.time, nowMs, kIntervalMs)) {
      entry = Entry{};
      candidate = &entry;
    }
  }
  if (candidate == nullptr) return false;
  candidate->address = address;
  candidate->time = nowMs;
  return true;
}

bool StatusByteBudget::Take(std::size_t bytes, std::uint32_t nowMs) {
  const std::uint32_t second = nowMs / 1000;
  if (!started_ || second != second_) {
    started_ = true;
    second_ = second;
    used_ = 0;
  }
  if (bytes > kBytesPerSecond - used_) return false;
  used_ += bytes;
  return true;
}

std::size_t StatusWireBytes(std::size_t dataLength) {
  return dataLength + kStatusHeaderSize * static_cast<std::size_t>(StatusFragmentCount(dataLength));
}

StatusResponder::StatusResponder(StatusResponderContext context, StatusReplySender send)
    : context_(std::move(context)), send_(std::move(send)) {}

void StatusResponder::Answer(const StatusRequest& request, int socket) {
  const bool compact = request.type == kStatusCompactRequest;
  if (!compact && request.type != kStatusGeneralRequest && request.type != kStatusDetailRequest) {
    return;
  }
  // Checked before the rate table, so a forged sender cannot take an entry.
  if (!StatusDestinationAllowed(request.address, request.port)) return;
  if (!rates_.Admit(request.address, context_.clock.NowMs())) return;
  // The 16 bytes hold the tool's password; nothing compares it.
  if (request.data.size() < kStatusRequestDataLength) return;
  const std::string text =
      compact ? CompactReply() : TextReply(request.type == kStatusDetailRequest);
  Send(request, socket, text);
}

void StatusResponder::Send(const StatusRequest& request, int socket, const std::string& text) {
  const std::size_t dataLength = text.size() + 1;  // with its NUL
  if (dataLength > kStatusMaxDataLength) return;
  if (!budget_.Take(StatusWireBytes(dataLength), context_.clock.NowMs())) return;
  send_(socket, request.requestId, text, request.address, request.port);
}

std::string StatusResponder::TextReply(bool detail) const {
  const Snapshot s = TakeSnapshot(context_);
  std::string text;
  AppendFormat(text, "NAME: %s\n", s.name.c_str());
  AppendFormat(text, "PHONETIC: %s\n", s.phonetic.c_str());
  if (s.showComment) AppendFormat(text, "COMMENT: %s\n", s.comment.c_str());
  AppendFormat(text, "AUTH: %d\n", s.auth);
  AppendFormat(text, "MAXCLIENTS: %d\n", static_cast<int>(ConnectionTable::kCapacity));
  AppendFormat(text, "VOICECODEC: %d,%s\n", s.codec, s.codecName.c_str());
  AppendFormat(text, "VOICEFORMAT: %d,%s\n", s.format, s.formatName.c_str());
  AppendFormat(text, "UPTIME: %u\n", s.uptime);
  AppendFormat(text, "PLATFORM: %s\n", kServerPlatform);
  AppendFormat(text, "VERSION: %s\n", s.version.c_str());
  if (detail && s.showChannels) {
    AppendFormat(text, "CHANNELCOUNT: %d\n", static_cast<int>(s.channels.size()));
    if (!s.channels.empty()) {
      AppendFormat(text, "CHANNELFIELDS: CID,PID,PROT,NAME%s\n",
                   s.showChannelComments ? ",COMM" : "");
    }
    for (const StatusChannel& channel : s.channels) {
      AppendFormat(text, "CHANNEL: CID=%d,PID=%d,PROT=%d,NAME=%s", channel.id, channel.parent,
                   channel.protMode, channel.name.c_str());
      if (s.showChannelComments) AppendFormat(text, ",COMM=%s", channel.comment.c_str());
      text += '\n';
    }
  }
  AppendFormat(text, "CLIENTCOUNT: %d\n", static_cast<int>(s.clients.size()));
  if (detail && !s.clients.empty()) {
    const bool comments = context_.properties.statusUserComments != 0;
    AppendFormat(text, "CLIENTFIELDS: ADMIN,CID,PHAN,PING,SEC,NAME%s\n", comments ? ",COMM" : "");
    for (const ClientRow& row : s.clients) {
      AppendFormat(text, "CLIENT: ADMIN=%d,CID=%d,PHAN=%d,PING=%d,SEC=%u,NAME=%s", row.admin,
                   row.channel, row.phantom, row.ping, row.seconds, row.name.c_str());
      if (row.showComment) AppendFormat(text, ",COMM=%s", row.comment.c_str());
      text += '\n';
    }
  }
  return text;
}

std::string StatusResponder::CompactReply() const {
  const Snapshot s = TakeSnapshot(context_);
  std::string text;
  AppendFormat(text, "%02d%s\n", 0, s.name.c_str());
  AppendFormat(text, "%02d%s\n", 1, s.phonetic.c_str());
  if (s.showComment) AppendFormat(text, "%02d%s\n", 2, s.comment.c_str());
  AppendFormat(text, "%02d%d\n", 3, s.auth);
  AppendFormat(text, "%02d%d\n", 4, static_cast<int>(ConnectionTable::kCapacity));
  AppendFormat(text, "%02d%d,%s\n", 5, s.codec, s.codecName.c_str());
  AppendFormat(text, "%02d%d,%s\n", 6, s.format, s.formatName.c_str());
  AppendFormat(text, "%02d%u\n", 7, s.uptime);
  AppendFormat(text, "%02d%s\n", 8, kServerPlatform);
  AppendFormat(text, "%02d%s\n", 9, s.version.c_str());
  if (s.showChannels) {
    AppendFormat(text, "%02d%d\n", 10, static_cast<int>(s.channels.size()));
    for (const StatusChannel& channel : s.channels) {
      AppendFormat(text, "%02d%02d%d,%02d%d,%02d%d,%02d%s", 11, 0, channel.id, 1, channel.parent, 2,
                   channel.protMode, 3, channel.name.c_str());
      if (s.showChannelComments) AppendFormat(text, ",%02d%s", 4, channel.comment.c_str());
      text += '\n';
    }
  }
  AppendFormat(text, "%02d%d\n", 12, static_cast<int>(s.clients.size()));
  for (const ClientRow& row : s.clients) {
    AppendFormat(text, "%02d%02d%d,%02d%d,%02d%d,%02d%d,%02d%u,%02d%s", 13, 1, row.admin, 2,
                 row.channel, 3, row.phantom, 4, row.ping, 5, row.seconds, 6, row.name.c_str());
    if (row.showComment) AppendFormat(text, ",%02d%s", 7, row.comment.c_str());
    text += '\n';
  }
  return text;
}

}  // namespace kestrune
