#include "bench/soak_client.h"

#include <algorithm>
#include <thread>

#include "client/admin_requests.h"
#include "client/channel_requests.h"
#include "client/motd_requests.h"
#include "client/talk_requests.h"
#include "net/message.h"
#include "store/password_digest.h"

namespace kestrune::bench {
namespace {

constexpr int kAnswerWaitMs = 5000;  // for an answer the server owes
constexpr int kCloseWaitMs = 3000;   // for the close a malformed frame earns
constexpr std::size_t kMaxProblems = 20;
constexpr int kMaxManagedAccounts = 25;

// Refusals that come with the close mark.
constexpr std::uint16_t kRefusalCloseFlag = 1;

std::array<std::uint8_t, 32> DigestOf(const std::string& password) {
  PasswordDigest digest;
  digest.FromPlain(password);
  return digest.CopyBytes();
}

// Permission bytes an administrator may set on an account and that every
// store keeps as given (no admin-only bytes the edits clear, no rank, no
// default channel).
constexpr std::array<std::size_t, 30> kEditableFlags = {41, 43, 48, 49, 50, 51, 52, 53, 57, 58,
                                                        59, 60, 61, 62, 63, 64, 65, 69, 76, 77,
                                                        80, 81, 82, 85, 86, 89, 92, 96, 98, 102};
// Of those, the ones a logged-in user may lose without being shut out or
// closed: no channel switching, channel view or console rights.
constexpr std::array<std::size_t, 22> kLiveFlags = {48, 49, 50, 51, 52, 53, 76, 77, 78, 79, 80,
                                                    81, 82, 83, 84, 85, 86, 89, 92, 96, 97, 98};
constexpr std::size_t kLockedAt = 40;
constexpr std::size_t kDuplicatesIPsAt = 42;

}  // namespace

const char* SentKindName(int kind) {
  static constexpr std::array<const char*, kSentKinds> kNames = {
      "voice start", "voice data",   "voice stop",  "chat join",      "chat line",
      "chat leave",  "tts",          "wave",        "page",           "own texts",
      "enter",       "channel auth", "setting",     "console",        "ping answer",
      "admin login", "account list", "account add", "account change", "account delete"};
  return kind >= 0 && kind < kSentKinds ? kNames[static_cast<std::size_t>(kind)] : "?";
}

void SoakStats::Merge(const SoakStats& other) {
  for (std::size_t i = 0; i < sent.size(); ++i) sent[i] += other.sent[i];
  connections += other.connections;
  logins += other.logins;
  loginRetries += other.loginRetries;
  loginFailures += other.loginFailures;
  worstLoginMs = std::max(worstLoginMs, other.worstLoginMs);
  for (std::size_t i = 0; i < worstPhaseMs.size(); ++i) {
    worstPhaseMs[i] = std::max(worstPhaseMs[i], other.worstPhaseMs[i]);
  }
  for (const auto& [kind, count] : other.malformedOpen) malformedOpen[kind] += count;
  malformed += other.malformed;
  malformedClosed += other.malformedClosed;
  drops += other.drops;
  serverCloses += other.serverCloses;
  received += other.received;
  accountAcks += other.accountAcks;
  accountRefused += other.accountRefused;
  accountLost += other.accountLost;
  listings += other.listings;
  problems.insert(problems.end(), other.problems.begin(), other.problems.end());
  for (const auto& [code, count] : other.refusals) refusals[code] += count;
}

SoakClient::SoakClient(const SoakWorld& world, SoakIdentity identity, std::uint32_t seed,
                       AccountModel* model)
    : world_(world), identity_(std::move(identity)), random_(seed), model_(model) {}

void SoakClient::Problem(const std::string& text) {
  if (stats_.problems.size() < kMaxProblems)
    stats_.problems.push_back(identity_.name + ": " + text);
}

void SoakClient::Run(Clock::time_point until, const std::atomic<bool>& abort) {
  while (Clock::now() < until && !abort) {
    if (!loggedIn_ && !LogIn(abort)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      continue;
    }
    Act();
  }
  // The final check: the server still takes this client, and the
  // administrator's model is settled by one more listing.
  Disconnect();
  if (abort) return;
  if (!LogIn(abort)) return;
  if (model_ != nullptr) {
    for (int attempt = 0; attempt < 10 && loggedIn_ && !editorOpen_; ++attempt) {
      if (EnterAdminMode()) OpenEditor();
      if (!editorOpen_) Pump(300);
    }
    if (!editorOpen_) Problem("the final editor listing could not be taken");
    if (loggedIn_) session_.Send(*BuildAccountClose());
  }
  Pump(100);
  Disconnect();
}

bool SoakClient::LogIn(const std::atomic<bool>& abort) {
  const auto start = Clock::now();
  while (!abort) {
    if (TryLogIn()) {
      const auto ms =
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
      stats_.worstLoginMs = std::max<std::int64_t>(stats_.worstLoginMs, ms);
      ++stats_.logins;
      if (Clock::now() - start > world_.loginLimit) {
        ++stats_.loginFailures;
        Problem("login took " + std::to_string(ms) + " ms");
      }
      return true;
    }
    if (Clock::now() - start > world_.loginLimit) {
      ++stats_.loginFailures;
      Problem("no login within " + std::to_string(world_.loginLimit.count()) + " ms");
      return false;
    }
    ++stats_.loginRetries;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

bool SoakClient::TryLogIn() {
  Disconnect();
  ++stats_.connections;
  auto phaseStart = Clock::now();
  const auto endPhase = [&](std::size_t phase) {
    const auto now = Clock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - phaseStart).count();
    stats_.worstPhaseMs[phase] = std::max<std::int64_t>(stats_.worstPhaseMs[phase], ms);
    phaseStart = now;
  };
  const int connected = session_.Connect(world_.host, world_.port, identity_.localAddress);
  endPhase(0);
  if (connected != 0) return false;
  const int limit = static_cast<int>(world_.loginLimit.count());
  auto handshake = session_.Handshake("3.0.0", limit);
  endPhase(1);
  if (!handshake || handshake->reply.flags != 4) return false;
  LoginRequest request;
  request.name = identity_.name;
  request.phonetic = identity_.name;
  request.flags = Roll(4) == 0 ? 0 : 1;  // now and then with the messages of the day
  if (!identity_.password.empty()) request.digest = DigestOf(identity_.password);
  LoginResult login = session_.Login(request, limit);
  endPhase(2);
  if (!login.accepted) {
    for (const auto& message : login.messages) {
      if (auto refusal = ReadRefusal(*message)) ++stats_.refusals[refusal->code];
    }
    session_.Close();
    return false;
  }
  loggedIn_ = true;
  inAdminMode_ = false;
  editorOpen_ = false;
  channel_ = 0;
  id_ = 0;
  others_.clear();
  channelIds_.clear();
  for (const auto& message : login.messages) {
    ++stats_.received;
    if (auto list = ReadUserList(*message)) {
      for (const auto& record : list->records) {
        if (record.flagA == 1) id_ = record.id;
      }
    }
    if (auto channels = ReadChannelList(*message)) {
      for (const auto& record : *channels) channelIds_[record.name] = record.id;
    }
  }
  for (const auto& message : login.messages) Handle(*message);
  return true;
}

void SoakClient::Disconnect() {
  session_.Close();
  loggedIn_ = false;
  inAdminMode_ = false;
  editorOpen_ = false;
  backlog_.clear();
}

bool SoakClient::SendCounted(const Message& message, int kind) {
  if (!loggedIn_) return false;
  if (!session_.Send(message)) {
    ++stats_.serverCloses;
    Disconnect();
    return false;
  }
  if (kind >= 0) ++stats_.sent[static_cast<std::size_t>(kind)];
  return true;
}

void SoakClient::Pump(int ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (loggedIn_) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    auto message = session_.Receive(static_cast<int>(std::max<std::int64_t>(0, left.count())));
    if (message) {
      ++stats_.received;
      Handle(*message);
      continue;
    }
    if (session_.Stream().PeerClosed()) {
      ++stats_.serverCloses;
      Disconnect();
    }
    if (Clock::now() >= deadline) break;
  }
}

void SoakClient::Handle(const Message& message) {
  switch (message.Type()) {
    case MSG_PING:
      if (loggedIn_) SendCounted(*BuildPingAnswer(message.GetU16(6), 0), kSentPingAnswer);
      break;
    case MSG_USER_LIST:
      if (auto list = ReadUserList(message)) {
        for (const auto& record : list->records) {
          if (record.id == 0 || record.id == id_) continue;
          others_.erase(std::remove(others_.begin(), others_.end(), record.id), others_.end());
          if (list->action != 0) others_.push_back(record.id);
        }
      }
      break;
    case MSG_CHANNEL_CHANGE:
    case MSG_MOVE_USER:
      if (auto move = ReadChannelMove(message); move && move->clientId == id_) {
        channel_ = move->channel;
      }
      break;
    case MSG_CHANNEL:
      // Action 7: a password was refused, which would cost this client.
      if (message.GetU16(6) == 7) Problem("a channel password was refused");
      break;
    case MSG_REFUSAL:
      if (auto refusal = ReadRefusal(message)) {
        ++stats_.refusals[refusal->code];
        if (refusal->closes) {
          ++stats_.serverCloses;
          Disconnect();
        }
      }
      break;
    case MSG_SERVER_TEXT:
      if (auto text = ReadServerText(message); text && (text->flags & kRefusalCloseFlag) != 0) {
        ++stats_.serverCloses;
        Disconnect();
      }
      break;
    default:
      break;
  }
}

void SoakClient::Act() {
  struct Choice {
    int weight;
    void (SoakClient::*action)();
  };
  static constexpr std::array<Choice, 12> kChoices = {{
      {20, &SoakClient::Talk},
      {12, &SoakClient::Chat},
      {8, &SoakClient::Bind},
      {8, &SoakClient::Page},
      {6, &SoakClient::OwnTexts},
      {10, &SoakClient::Enter},
      {4, &SoakClient::ChannelAuth},
      {4, &SoakClient::Setting},
      {8, &SoakClient::Console},
      {1, &SoakClient::Malformed},
      {1, &SoakClient::Drop},
      {1, &SoakClient::DropBeforeLogin},
  }};
  int total = 0;
  for (const Choice& choice : kChoices) total += choice.weight;
  // The administrator spends a good part of its time in the account editor.
  if (model_ != nullptr && Roll(4) == 0) {
    EditAccounts();
  } else {
    int roll = Roll(total);
    for (const Choice& choice : kChoices) {
      if (roll < choice.weight) {
        (this->*choice.action)();
        break;
      }
      roll -= choice.weight;
    }
  }
  Pump(Roll(40));
}

std::string SoakClient::RandomText(std::size_t low, std::size_t high) {
  const std::size_t length =
      std::uniform_int_distribution<std::size_t>(std::max<std::size_t>(low, 1), high)(random_);
  std::string text;
  for (std::size_t i = 0; i < length; ++i) text.push_back(static_cast<char>('!' + Roll(94)));
  return text;
}

std::uint16_t SoakClient::RandomChannel(std::string& password) {
  password.clear();
  if (world_.channels.empty() || Roll(8) == 0) return 0;
  const SoakChannel& channel =
      world_.channels[static_cast<std::size_t>(Roll(static_cast<int>(world_.channels.size())))];
  const auto found = channelIds_.find(channel.name);
  if (found == channelIds_.end()) return 0;
  password = channel.password;
  return found->second;
}

std::uint16_t SoakClient::RandomOther() {
  if (others_.empty()) return 0;
  return others_[static_cast<std::size_t>(Roll(static_cast<int>(others_.size())))];
}

void SoakClient::Talk() {
  VoicePacket packet;
  packet.codec = static_cast<std::uint16_t>(world_.voiceCodec);
  packet.format = static_cast<std::uint16_t>(world_.voiceFormat);
  std::string unused;
  switch (Roll(10)) {
    case 0:
      packet.types = {3};
      packet.ids = {RandomChannel(unused)};
      break;
    case 1:
      packet.types = {4};
      packet.ids = {RandomChannel(unused)};
      break;
    case 2:
      packet.types = {5, 1};
      packet.ids = {RandomOther(), 0};
      break;
    default:
      packet.types = {static_cast<std::uint16_t>(1 + Roll(2))};
      packet.ids = {0};
      break;
  }
  packet.action = 0;
  if (!SendCounted(*BuildVoice(packet), kSentVoiceStart)) return;
  const int packets = 1 + Roll(15);
  for (int i = 0; i < packets && loggedIn_; ++i) {
    packet.action = 1;
    packet.mark = 1 + static_cast<std::uint32_t>(Roll(1 << 30));
    packet.data = RandomText(1, static_cast<std::size_t>(std::max(1, world_.voiceDataLimit)));
    if (!SendCounted(*BuildVoice(packet), kSentVoiceData)) return;
    Pump(20);
    if (Roll(200) == 0) {
      // Gone in the middle of a talk.
      ++stats_.drops;
      Disconnect();
      return;
    }
  }
  packet.action = 2;
  packet.mark = 0;
  packet.data.clear();
  SendCounted(*BuildVoice(packet), kSentVoiceStop);
}

void SoakClient::Chat() {
  switch (Roll(6)) {
    case 0:
      SendCounted(*BuildChat(0), kSentChatJoin);
      break;
    case 1:
      SendCounted(*BuildChat(1), kSentChatLeave);
      break;
    default:
      SendCounted(*BuildChat(2, RandomText(1, 200), static_cast<std::uint16_t>(Roll(4))),
                  kSentChatLine);
      break;
  }
}

void SoakClient::Bind() {
  if (Roll(2) == 0) {
    SendCounted(*BuildBind(MSG_TTS, RandomText(1, 120)), kSentTts);
  } else {
    SendCounted(*BuildBind(MSG_WAVE, "sound" + std::to_string(Roll(20))), kSentWave);
  }
}

void SoakClient::Page() {
  const std::uint16_t target =
      Roll(10) == 0 ? static_cast<std::uint16_t>(Roll(1024)) : RandomOther();
  SendCounted(*BuildPage(target, static_cast<std::uint16_t>(Roll(65536))), kSentPage);
}

void SoakClient::OwnTexts() {
  SendCounted(*BuildOwnTexts(id_, RandomText(0, 127), RandomText(0, 60), RandomText(0, 60)),
              kSentOwnTexts);
}

void SoakClient::Enter() {
  ChannelRequest request;
  request.action = 3;
  request.clientId = id_;
  std::string password;
  request.channel = RandomChannel(password);
  if (!password.empty()) request.digest = DigestOf(password);
  request.withTexts = false;
  SendCounted(*BuildChannelRequest(request), kSentEnter);
}

void SoakClient::ChannelAuth() {
  std::string password;
  const std::uint16_t channel = RandomChannel(password);
  if (channel == 0) return;
  SendCounted(*BuildChannelAuthRequest(channel, DigestOf(password)), kSentChannelAuth);
}

void SoakClient::Setting() {
  SendCounted(
      *BuildSetting(id_, static_cast<std::uint16_t>(Roll(4)), static_cast<std::uint32_t>(Roll(2))),
      kSentSetting);
}

void SoakClient::Console() {
  // Nothing that stops the server, closes everyone, changes the login rules
  // or bans loopback.
  const std::string other = std::to_string(RandomOther());
  const std::string address = "10.77." + std::to_string(Roll(4)) + "." + std::to_string(Roll(8));
  const std::vector<std::string> commands = {
      "help",
      "maxclients",
      "version",
      "serverstatus",
      "status",
      "Status 1",
      "status 0",
      "pingrate " + std::to_string(1 + Roll(10)),
      "pingrate 11",
      "tts " + RandomText(1, 40),
      "banlist",
      "banadd " + address + " soak",
      "bandel " + address,
      "name",
      "loggrep 3 MSG_CONN",
      "clientstatus " + other,
      "diag " + std::to_string(Roll(8) == 0 ? 1 : 0),
      "timestamp " + std::to_string(Roll(2)),
      "monitor " + std::to_string(Roll(4) == 0 ? 1 : 0),
      "pingtrace " + std::to_string(Roll(3) - 1),
      "nosuchcommand",
      "abcdefghijklmnopq",
      "",
  };
  const std::string line =
      commands[static_cast<std::size_t>(Roll(static_cast<int>(commands.size())))];
  SendCounted(*BuildChat(2, (Roll(2) == 0 ? "/rcon " : "\\RCON ") + line), kSentConsole);
}

void SoakClient::Malformed() {
  if (!loggedIn_) return;
  const auto oneMessage = [&](std::uint16_t type, int bodySize) {
    auto message = std::make_unique<Message>(static_cast<std::size_t>(4 + bodySize));
    message->SetU16(0, type);
    return message;
  };
  bool sent = false;
  const int kind = Roll(10);
  switch (kind) {
    case 0:
      sent = session_.Stream().SendRaw({0x00, 0x00});  // a frame of no bytes
      break;
    case 1: {
      std::vector<std::uint8_t> bytes = {0x10, 0x01};  // 4097 bytes announced
      for (int i = 0; i < 64; ++i) bytes.push_back(static_cast<std::uint8_t>(Roll(256)));
      sent = session_.Stream().SendRaw(bytes);
      break;
    }
    case 2: {
      static constexpr std::array<std::uint16_t, 6> kUnknown = {1, 53, 100, 200, 999, 65535};
      sent = session_.Send(*oneMessage(kUnknown[static_cast<std::size_t>(Roll(6))], Roll(40)));
      break;
    }
    case 3: {
      // A known type one byte short of its fixed body.
      static constexpr std::array<std::pair<std::uint16_t, int>, 4> kShort = {
          {{MSG_PAGE, 7}, {MSG_USER_ADMIN, 135}, {MSG_CHANNEL_AUTH, 47}, {MSG_USER_SETTING, 7}}};
      const auto& [type, body] = kShort[static_cast<std::size_t>(Roll(4))];
      sent = session_.Send(*oneMessage(type, body));
      break;
    }
    case 4: {
      VoicePacket packet;
      packet.types = {1, 7};  // 7 is no target type
      packet.ids = {0, 0};
      sent = session_.Send(*BuildVoice(packet));
      break;
    }
    case 5: {
      auto chat = BuildChat(2, "counted past the end");
      chat->SetU8(12, 0x7F);
      sent = session_.Send(*chat);
      break;
    }
    case 6: {
      std::vector<std::uint8_t> bytes(static_cast<std::size_t>(1 + Roll(600)));
      for (auto& byte : bytes) byte = static_cast<std::uint8_t>(Roll(256));
      sent = session_.Stream().SendRaw(bytes);
      break;
    }
    case 7:
      sent = session_.Send(*BuildHandshakeRequest("3.0.0"));
      break;
    case 8: {
      LoginRequest request;
      request.name = identity_.name;
      sent = session_.Send(*BuildLoginRequest(request));
      break;
    }
    default: {
      // Voice data with a byte count the relay cannot hold, while talking.
      VoicePacket packet;
      packet.codec = static_cast<std::uint16_t>(world_.voiceCodec);
      packet.format = static_cast<std::uint16_t>(world_.voiceFormat);
      packet.types = {1};
      packet.ids = {0};
      if (!session_.Send(*BuildVoice(packet))) break;
      packet.action = 1;
      packet.mark = 1;
      packet.data = "x";
      packet.count = 4076;
      sent = session_.Send(*BuildVoice(packet));
      break;
    }
  }
  ++stats_.malformed;
  if (sent && session_.WaitClosed(kCloseWaitMs)) {
    ++stats_.malformedClosed;
  } else if (sent) {
    ++stats_.malformedOpen[kind];
  }
  Disconnect();
}

void SoakClient::Drop() {
  ++stats_.drops;
  if (Roll(2) == 0) {
    // In the middle of a frame: its length and part of its bytes.
    std::vector<std::uint8_t> bytes = {0x01, 0x00};
    const int part = Roll(200);
    for (int i = 0; i < part; ++i) bytes.push_back(static_cast<std::uint8_t>(Roll(256)));
    session_.Stream().SendRaw(bytes);
  }
  Disconnect();
}

void SoakClient::DropBeforeLogin() {
  Disconnect();
  ++stats_.drops;
  ++stats_.connections;
  if (session_.Connect(world_.host, world_.port, identity_.localAddress) != 0) return;
  const int stage = Roll(4);
  if (stage == 1) {
    // Half a handshake.
    session_.Stream().SendRaw({0x00, 0x54, 0x01, 0x02, 0x03});
  } else if (stage >= 2) {
    auto handshake = session_.Handshake("3.0.0", kAnswerWaitMs);
    if (stage == 3 && handshake && handshake->reply.flags == 4) {
      // Half a login.
      std::vector<std::uint8_t> bytes = {0x01, 0x18};
      for (int i = 0; i < 100; ++i) bytes.push_back(static_cast<std::uint8_t>(Roll(256)));
      session_.Stream().SendRaw(bytes);
    }
  }
  session_.Close();
}

// --- The account editor ---

bool SoakClient::EnterAdminMode() {
  if (inAdminMode_) return true;
  if (!SendCounted(*BuildAdminLogin(DigestOf(world_.adminPassword)), kSentAdminLogin)) return false;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kAnswerWaitMs);
  while (loggedIn_ && Clock::now() < deadline) {
    auto message = session_.Receive(100);
    if (!message) {
      Pump(0);
      continue;
    }
    ++stats_.received;
    if (auto text = ReadServerText(*message); text && text->flags == 2) {
      inAdminMode_ = true;
      return true;
    }
    if (auto refusal = ReadRefusal(*message); refusal && refusal->code == 25) {
      inAdminMode_ = true;  // already there
      return true;
    }
    Handle(*message);
  }
  if (loggedIn_) Problem("no answer to the administrator login");
  return false;
}

bool SoakClient::OpenEditor() {
  if (editorOpen_) return true;
  const std::uint32_t tag = ++tag_;
  if (!SendCounted(*BuildAccountList(tag), kSentAccountList)) return false;
  std::vector<AccountData> listing;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kAnswerWaitMs);
  while (loggedIn_ && Clock::now() < deadline) {
    auto message = session_.Receive(100);
    if (!message) {
      Pump(0);
      continue;
    }
    ++stats_.received;
    if (auto refusal = ReadRefusal(*message); refusal && refusal->code == 31) {
      // A connection of ours that has not been reaped yet still holds it.
      ++stats_.refusals[31];
      return false;
    }
    auto reply = ReadAccountReply(*message);
    if (!reply || reply->action != 0 || reply->tag != tag) {
      if (message->Type() == MSG_ACCOUNT_ADMIN && !reply) Problem("an account reply does not read");
      Handle(*message);
      continue;
    }
    if (reply->result != 0) {
      Problem("account listing answered " + std::to_string(reply->result));
      return false;
    }
    for (auto& record : reply->records) listing.push_back(std::move(record));
    if (reply->last == 1) {
      editorOpen_ = true;
      ++stats_.listings;
      for (const std::string& problem : model_->Reconcile(listing)) Problem(problem);
      for (const AccountData& record : listing) {
        for (const auto& [name, password] : world_.liveAccounts) {
          if (record.name == name) model_->Adopt(record, password);
        }
      }
      return true;
    }
  }
  if (loggedIn_) Problem("the account listing did not end within the wait");
  return false;
}

void SoakClient::AccountEdit(std::uint16_t action, const AccountData& record,
                             const std::string& password) {
  const std::uint32_t tag = ++tag_;
  std::unique_ptr<Message> request = action == 2 ? BuildAccountBlockRequest(2, record.Uid(), 0, tag)
                                                 : BuildAccountEdit(action, record, tag);
  const int kind = action == 1   ? kSentAccountAdd
                   : action == 2 ? kSentAccountDelete
                                 : kSentAccountChange;
  model_->Sent(action, record, password);
  if (!SendCounted(*request, kind)) {
    ++stats_.accountLost;
    return;
  }
  if (Roll(20) == 0) {
    // Gone before the answer: the listing of the next session settles it.
    ++stats_.drops;
    ++stats_.accountLost;
    Disconnect();
    return;
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(kAnswerWaitMs);
  while (loggedIn_ && Clock::now() < deadline) {
    auto message = session_.Receive(100);
    if (!message) {
      Pump(0);
      continue;
    }
    ++stats_.received;
    auto reply = ReadAccountReply(*message);
    if (!reply || reply->tag != tag) {
      Handle(*message);
      continue;
    }
    if (reply->result == 0) {
      ++stats_.accountAcks;
    } else {
      ++stats_.accountRefused;
    }
    if (reply->result == 0 && action != 2 && reply->records.size() != 1) {
      Problem("an acknowledged account edit carries no record");
    }
    model_->Answered(reply->result, reply->records.empty() ? nullptr : &reply->records.front());
    return;
  }
  ++stats_.accountLost;
  if (loggedIn_) {
    Problem("no answer to an account edit within the wait");
    Disconnect();
  }
}

void SoakClient::EditAccounts() {
  if (!EnterAdminMode() || !OpenEditor()) return;
  const int roll = Roll(10);
  const std::size_t present = model_->PresentCount();
  if (roll == 0) {
    session_.Send(*BuildAccountClose());
    editorOpen_ = false;
    return;
  }
  if (present < 3 || (roll < 5 && present < kMaxManagedAccounts)) {
    AccountData record;
    record.name = model_->NextName();
    const std::string password = "pw" + RandomText(4, 12);
    const auto digest = DigestOf(password);
    std::copy(digest.begin(), digest.end(), record.block.begin() + 4);
    for (std::size_t offset : kEditableFlags)
      record.block[offset] = static_cast<std::uint8_t>(Roll(2));
    record.block[kDuplicatesIPsAt] = static_cast<std::uint8_t>(Roll(4));
    if (Roll(6) == 0) {
      record.block[kLockedAt] = 1;
      record.lockedReason = "locked " + RandomText(1, 40);
    }
    // Commas, percent signs and a line break, which the file escapes.
    record.notes = "n" + std::to_string(tag_) + " " + RandomText(1, 60) + "\n" + RandomText(1, 40);
    AccountEdit(1, record, password);
    return;
  }
  const bool change = roll < 8;
  const ModelAccount* pick = model_->Pick(static_cast<std::size_t>(Roll(1000)), change);
  if (pick == nullptr) return;
  AccountData record = pick->record;
  if (change && pick->live) {
    // The stored password stays (a zero digest), the user stays logged in.
    for (int flips = 1 + Roll(3); flips > 0; --flips) {
      record
          .block[kLiveFlags[static_cast<std::size_t>(Roll(static_cast<int>(kLiveFlags.size())))]] ^=
          1;
    }
    record.notes = "n" + std::to_string(tag_) + " " + RandomText(1, 100);
    AccountEdit(3, record, pick->password);
  } else if (change) {
    std::string password = pick->password;
    if (Roll(3) == 0) {
      password = "pw" + RandomText(4, 12);
      const auto digest = DigestOf(password);
      std::copy(digest.begin(), digest.end(), record.block.begin() + 4);
    }
    for (int flips = 1 + Roll(4); flips > 0; --flips) {
      const std::size_t offset =
          kEditableFlags[static_cast<std::size_t>(Roll(static_cast<int>(kEditableFlags.size())))];
      record.block[offset] ^= 1;
    }
    record.block[kLockedAt] = static_cast<std::uint8_t>(Roll(5) == 0 ? 1 : 0);
    record.lockedReason = record.block[kLockedAt] != 0 ? "locked " + RandomText(1, 40) : "";
    record.notes = "n" + std::to_string(tag_) + " " + RandomText(1, 100);
    AccountEdit(3, record, password);
  } else {
    AccountEdit(2, record, pick->password);
  }
}

}  // namespace kestrune::bench
