// One client of the soak: it logs in, and then, at random, talks, chats,
// pages, edits its own texts, moves between channels (with the right
// passwords only, so no penalty ever locks it out), runs console commands
// from a safe list, sends malformed frames and drops its connection at random
// points, logging in again each time. The administrator among them also edits
// accounts and keeps the model of what the server acknowledged.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench/soak_accounts.h"
#include "client/session.h"

namespace kestrune::bench {

enum SentKind : int {
  kSentVoiceStart,
  kSentVoiceData,
  kSentVoiceStop,
  kSentChatJoin,
  kSentChatLine,
  kSentChatLeave,
  kSentTts,
  kSentWave,
  kSentPage,
  kSentOwnTexts,
  kSentEnter,
  kSentChannelAuth,
  kSentSetting,
  kSentConsole,
  kSentPingAnswer,
  kSentAdminLogin,
  kSentAccountList,
  kSentAccountAdd,
  kSentAccountChange,
  kSentAccountDelete,
  kSentKinds
};
const char* SentKindName(int kind);

struct SoakStats {
  std::array<std::uint64_t, kSentKinds> sent{};
  std::uint64_t connections = 0;    // TCP connections made
  std::uint64_t logins = 0;         // accepted logins
  std::uint64_t loginRetries = 0;   // attempts that failed but were retried in time
  std::uint64_t loginFailures = 0;  // no login within the limit
  std::int64_t worstLoginMs = 0;    // from the first attempt to the acceptance
  // The slowest single phase seen: connect, handshake, login.
  std::array<std::int64_t, 3> worstPhaseMs{};
  std::uint64_t malformed = 0;                 // malformed frames or messages sent
  std::uint64_t malformedClosed = 0;           // ... after which the server closed the stream
  std::map<int, std::uint64_t> malformedOpen;  // by kind: the stream stayed open
  std::uint64_t drops = 0;                     // connections dropped by the client
  std::uint64_t serverCloses = 0;              // streams the server ended otherwise
  std::uint64_t received = 0;                  // messages read
  std::uint64_t accountAcks = 0;               // account edits answered with result 0
  std::uint64_t accountRefused = 0;            // ... answered with another result
  std::uint64_t accountLost = 0;               // ... whose answer the connection lost
  std::uint64_t listings = 0;                  // editor listings compared with the model
  std::vector<std::string> problems;           // check failures, as text
  std::map<int, std::uint64_t> refusals;       // MSG_REFUSAL codes received

  void Merge(const SoakStats& other);
};

struct SoakChannel {
  std::string name;      // the channel's own name, unique in the soak's tree
  std::string password;  // of its protection root; empty when none
};

struct SoakWorld {
  std::string host = "127.0.0.1";
  std::uint16_t port = 0;
  std::string adminPassword;
  std::vector<SoakChannel> channels;
  int voiceCodec = 0;
  int voiceFormat = 0;
  int voiceDataLimit = 0;
  std::chrono::milliseconds loginLimit{5000};
  // Accounts other clients log in with (name, password): the administrator
  // changes them too, but only in ways that leave their logins alone.
  std::vector<std::pair<std::string, std::string>> liveAccounts;
};

struct SoakIdentity {
  std::string name;
  std::string password;  // empty: a guest
  std::string localAddress;
  bool admin = false;  // enters AdminMode and edits accounts
};

class SoakClient {
 public:
  SoakClient(const SoakWorld& world, SoakIdentity identity, std::uint32_t seed,
             AccountModel* model);

  // Runs until `until` or `abort`, then logs in once more (the final check)
  // and leaves.
  void Run(std::chrono::steady_clock::time_point until, const std::atomic<bool>& abort);
  const SoakStats& Stats() const { return stats_; }

 private:
  using Clock = std::chrono::steady_clock;

  bool LogIn(const std::atomic<bool>& abort);
  bool TryLogIn();
  void Problem(const std::string& text);
  void Disconnect();
  // Sends and counts; false (and disconnected) when the stream failed.
  bool SendCounted(const Message& message, int kind);
  // Reads what arrives within `ms` (at least one poll), answering pings.
  void Pump(int ms);
  void Handle(const Message& message);

  void Act();
  void Talk();
  void Chat();
  void Bind();
  void Page();
  void OwnTexts();
  void Enter();
  void ChannelAuth();
  void Setting();
  void Console();
  void Malformed();
  void Drop();
  void DropBeforeLogin();
  void EditAccounts();

  bool EnterAdminMode();
  bool OpenEditor();
  // Sends one edit and waits for its answer.
  void AccountEdit(std::uint16_t action, const AccountData& record, const std::string& password);
  std::uint16_t RandomChannel(std::string& password);
  std::uint16_t RandomOther();
  std::string RandomText(std::size_t low, std::size_t high);
  int Roll(int below) { return std::uniform_int_distribution<int>(0, below - 1)(random_); }

  const SoakWorld& world_;
  SoakIdentity identity_;
  std::mt19937 random_;
  AccountModel* model_;
  SoakStats stats_;

  ClientSession session_;
  bool loggedIn_ = false;
  bool inAdminMode_ = false;
  bool editorOpen_ = false;
  std::uint16_t id_ = 0;
  std::uint16_t channel_ = 0;
  std::map<std::string, std::uint16_t> channelIds_;
  std::vector<std::uint16_t> others_;
  std::uint32_t tag_ = 0;
  std::vector<std::unique_ptr<Message>> backlog_;  // read while waiting for an answer
};

}  // namespace kestrune::bench
