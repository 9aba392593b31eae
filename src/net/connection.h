// One client connection and the fixed table of all connections (real clients
// and the phantoms they own), with the operations the loop and the handlers
// use on them: receive, send, flush, notices, kicks and the shared senders.
// Handlers never remove a connection: they close or mark it, and the loop's
// reap step removes it.
#pragma once

#include <netinet/in.h>
#include <sys/select.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/framing.h"
#include "net/message.h"
#include "util/clock.h"

namespace kestrune {

class Log;
struct ServerSettings;

// Byte counters a listener keeps for all of its connections.
struct ByteCounters {
  std::uint64_t received = 0;
  std::uint64_t sent = 0;
};

// Owned state that a higher layer hangs on a connection (the properties copy
// of an editing administrator); destroyed with the connection.
class ConnectionAttachment {
 public:
  virtual ~ConnectionAttachment() = default;
};

// Byte offsets of the permission block flags this layer reads.
inline constexpr std::size_t kPermissionBlockSize = 104;
inline constexpr std::size_t kPermPhonetic = 84;
inline constexpr std::size_t kPermSeeGuests = 96;
inline constexpr std::size_t kPermSeeNonGuests = 97;

// Reason codes of the notices this layer sends.
enum DisconnectReason : int {
  kReasonTimeLimit = 20,
  kReasonKicked = 37,
  kReasonSpamming = 38,
  kReasonAccountDeleted = 44,
  kReasonKickedBanned = 46,
  kReasonBannedSpamming = 47,
  kReasonTemporarilyBanned = 48,
  kReasonBanned = 49,
};

class Connection {
 public:
  Connection(ByteCounters* listener, std::uint16_t id);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Accept: stores the socket and peer, sets the address text (also as the
  // name), the peer port, the connect time, and marks the connection accepted.
  void Attach(int socket, const sockaddr_in& peer, std::uint32_t nowSeconds);
  // Login: the phonetic name is kept only when the permissions allow it.
  void SetLoginIdentity(std::string_view loginName, std::string_view phonetic);
  // Drops administrator and log watch, marks closing, shuts down and closes
  // the socket and forgets queued output. The table entry stays.
  void Close();

  bool IsPhantom() const { return phantomOwner != 0; }
  bool HasQueuedOutput() const { return !sendQueue.Empty(); }
  bool Kicked() const { return kickedAt != 0; }
  // Kicked, and more than `ms` milliseconds ago.
  bool KickedForMoreThan(std::uint32_t nowMs, std::uint32_t ms) const;
  bool HasPermission(std::size_t offset) const {
    return offset < permissions.size() && permissions[offset] != 0;
  }
  void InstallReceiveKey(const std::uint8_t* key, std::size_t length) {
    receiveCipher.Install(key, length);
  }
  void InstallSendKey(const std::uint8_t* key, std::size_t length) {
    sendCipher.Install(key, length);
  }

  ByteCounters* listener;
  std::uint16_t id;
  std::uint16_t channel = 0;
  std::uint32_t peerAddress = 0;  // network byte order
  std::string name;
  std::string phoneticName;
  std::string comment;
  std::string addressText;
  std::string platform;
  std::string version;
  IntervalTimer floorTimer;
  IntervalTimer timeLimitTimer;
  std::int16_t pingTime = -1;
  bool pingOutstanding = false;
  std::uint16_t pingCookie = 0;
  std::uint32_t lastPing = 0;
  std::int16_t pingTraceTarget = 0;
  std::uint32_t connectTime = 0;
  std::uint64_t bytesReceived = 0;
  std::uint64_t bytesSent = 0;
  std::unique_ptr<ConnectionAttachment> propertiesCopy;
  std::array<std::uint8_t, kPermissionBlockSize> permissions{};
  static constexpr std::size_t kClientIds = 1024;
  // Has-heard-me marks of this client's voice, by recipient id.
  std::array<std::uint8_t, kClientIds> clientFlags{};
  int socket = -1;  // -1: none
  bool maySend = false;
  bool loggedOn = false;
  bool accepted = false;
  bool closing = false;
  bool talking = false;
  bool administrator = false;
  bool logWatch = false;
  bool guest = false;
  bool silentRemoval = false;
  std::uint16_t phantomOwner = 0;
  std::uint32_t kickedAt = 0;  // 0: not kicked
  sockaddr_in peerSocketAddress{};
  std::uint16_t peerPort = 0;  // host byte order

  // Stream state.
  FrameReader reader;
  StreamCipher receiveCipher;
  StreamCipher sendCipher;
  SendQueue sendQueue;
};

// Channels take their ids from the same allocator; the channel tree answers
// whether it holds an id.
class ChannelIdSource {
 public:
  virtual ~ChannelIdSource() = default;
  virtual bool HoldsId(std::uint16_t id) const = 0;
};

struct NetOptions {
  std::uint32_t extraBuffer = 131072;  // send queue limit in bytes
  bool daemon = false;                 // console text for nobody is dropped, not printed

  static NetOptions From(const ServerSettings& settings, bool daemon);
};

class ConnectionTable {
 public:
  static constexpr std::size_t kSlots = 9;
  static constexpr std::size_t kCapacity = 8;
  static constexpr std::uint16_t kMaxId = 1023;
  static constexpr std::uint32_t kKickGraceMs = 5000;

  ConnectionTable(Clock& clock, Log& log, NetOptions options = {});
  ~ConnectionTable();
  ConnectionTable(const ConnectionTable&) = delete;
  ConnectionTable& operator=(const ConnectionTable&) = delete;

  void SetOptions(const NetOptions& options) { options_ = options; }
  const NetOptions& Options() const { return options_; }
  void SetChannelIds(const ChannelIdSource* channels) { channels_ = channels; }
  // Verdict 2 of spam control: bans the connection's address (the ban list
  // registers this, as it sits above this layer).
  using SpamBanHook = std::function<void(Connection&)>;
  void SetSpamBan(SpamBanHook hook) { spamBan_ = std::move(hook); }
  // How a connection leaves the table with everything that forgets it (the
  // server registers it); unset: a plain Remove.
  using RemovalPath = std::function<void(Connection&)>;
  void SetRemovalPath(RemovalPath path) { removalPath_ = std::move(path); }
  Clock& GetClock() { return clock_; }
  Log& GetLog() { return log_; }

  // --- The table ---
  std::size_t Count() const { return slots_.size(); }
  Connection& At(std::size_t index) { return *slots_[index]; }
  // 0; -2 for a phantom with 8 or more entries in use; -1 for a real
  // connection with 9 in use. A refused connection is destroyed.
  int Add(std::unique_ptr<Connection> connection, bool phantom);
  // Takes the entry out, shifting the later ones down, and destroys it; -1
  // when it was not in the table.
  int Remove(Connection* connection);
  // Destroys a connection that is not (or no longer) in the table: stops the
  // ping traces aimed at it, then closes it.
  void Destroy(std::unique_ptr<Connection> connection);
  // Takes the connection out through the removal path. Only for phantoms
  // and from the reap step: a handler closes a real connection instead.
  void Discard(Connection& connection);
  void RemovePhantomsOf(std::uint16_t ownerId);
  void ClearClientFlag(std::uint16_t id);
  Connection* FindById(std::uint16_t id);
  // A phantom's owner (none when gone); a real connection itself.
  Connection* ResolveOwner(Connection& connection);
  // 0 with a free id shared by connections and channels, or -1.
  int AllocateId(std::uint16_t& id);
  std::uint16_t LastId() const { return lastId_; }
  void SetLastId(std::uint16_t lastId) { lastId_ = lastId; }

  // --- The stream ---
  // One read step; a whole message, or none. Errors close the connection.
  std::unique_ptr<Message> Receive(Connection& connection);
  // Takes the message in every case; drops what this client may not get.
  void SendToClient(Connection& connection, std::unique_ptr<Message> message);
  // The same without taking the message: it is scrambled straight into the
  // client's queued frame, so one message can go to many clients uncopied.
  void SendCopy(Connection& connection, const Message& message);
  // Writes what the socket takes; -1 without a socket, else 0.
  int Flush(Connection& connection);
  // Puts the sockets the loop waits on into the sets; returns the highest
  // descriptor placed (or `highest` unchanged).
  int AddToSelectSets(fd_set& read, fd_set& write, fd_set& except, int highest);

  // --- Notices and kicks ---
  void DisconnectWithNotice(Connection& connection, int reason, int minutes,
                            std::string_view text = {});
  void Kick(Connection& connection, bool ban, std::string_view text);
  void DisconnectByName(std::string_view name);
  void SpamVerdict(Connection& connection, int verdict);
  // Closes every real connection but `keep`; the reap step removes them
  // (their phantoms with them).
  void CloseAllExcept(Connection* keep);
  // The ten status lines about `target`, as console text to `admin` (none:
  // the local console).
  void ClientStatusLines(Connection* admin, Connection& target);

  // --- Shared senders ---
  // Type 6; with no connection to every logged-in client. Bit 0 of the flags
  // marks the recipient closing and starts its 5-second clock.
  void SendServerText(Connection* connection, std::string_view text, std::uint16_t code,
                      std::uint16_t flags);
  // Type 89; with `close` the notice also reaches a client before its
  // handshake, and the connection is marked closing and kicked.
  void SendRefusal(Connection& connection, std::uint16_t code, std::uint16_t detail,
                   bool detailFlag, bool close, std::string_view text = {});
  // Console output (chat action 3) to a connection, or standard output for none.
  void SendConsoleText(Connection* connection, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
  // A copy to every logged-in client the rules allow, from a rotating start slot.
  void Broadcast(Connection* sender, const Message& message, bool skipSender, bool allChannels);

 private:
  void MarkKicked(Connection& connection);

  Clock& clock_;
  Log& log_;
  NetOptions options_;
  const ChannelIdSource* channels_ = nullptr;
  SpamBanHook spamBan_;
  RemovalPath removalPath_;
  std::vector<std::unique_ptr<Connection>> slots_;
  std::uint16_t lastId_ = 0;
  std::size_t broadcastStart_ = 0;
};

}  // namespace kestrune
