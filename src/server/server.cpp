#include "server/server.h"

#include <string_view>

#include "status/status_responder.h"

namespace kestrune {

volatile std::sig_atomic_t stopInterrupt = 0;
volatile std::sig_atomic_t stopTerminate = 0;
volatile std::sig_atomic_t stopConsole = 0;
volatile std::sig_atomic_t stopReserved = 0;

bool StopRequested() {
  return stopInterrupt != 0 || stopTerminate != 0 || stopConsole != 0 || stopReserved != 0;
}

bool FileNames::SetPrefix(const std::string& prefix) {
  // ".gmotd" is the longest extension.
  if (prefix.size() + 6 > kMaxPath) return false;
  settings = prefix + ".ini";
  accounts = prefix + ".usr";
  log = prefix + ".log";
  bans = prefix + ".ban";
  pid = prefix + ".pid";
  channels = prefix + ".chn";
  motd = prefix + ".motd";
  guestMotd = prefix + ".gmotd";
  properties = prefix + ".prop";
  ranks = prefix + ".rank";
  return true;
}

Server::Server()
    : ownedClock_(std::make_unique<SystemClock>()),
      clock_(*ownedClock_),
      log_(clock_),
      table_(clock_, log_),
      channels_(log_, table_),
      bridge_(table_) {
  SetDefaultHooks();
}

Server::Server(Clock& clock)
    : clock_(clock), log_(clock_), table_(clock_, log_), channels_(log_, table_), bridge_(table_) {
  SetDefaultHooks();
}

Server::~Server() {
  // The forwarder reaches the table, which goes before the log.
  log_.SetForwarder(nullptr);
}

void Server::SetDefaultHooks() {
  hooks.dispatch = [](Connection&, Message&) {};
  hooks.departure = [this](Connection& connection) { DefaultDeparture(*this, connection); };
  hooks.phantomGone = [](Connection&) {};
  hooks.consoleLine = [](const std::string&) {};
  hooks.floorCheck = [](Connection&) {};
  hooks.updateTick = [] {};
  hooks.updateSocket = [] { return -1; };
  hooks.updateReceive = [] {};
  hooks.statusRequest = [](const StatusRequest&, int) {};
  log_.SetForwarder([this](const std::string& text) { ForwardLogLine(text); });
  table_.SetChannelIds(&channels_);
  table_.SetRemovalPath([this](Connection& connection) { RemoveConnection(connection); });
}

void Server::ForwardLogLine(const std::string& text) {
  // A send that fails closes quietly, but never let a line loop back here.
  if (forwarding_) return;
  forwarding_ = true;
  for (std::size_t i = 0; i < table_.Count(); ++i) {
    Connection& connection = table_.At(i);
    if (connection.administrator && connection.logWatch) {
      table_.SendConsoleText(&connection, "%s", text.c_str());
    }
  }
  forwarding_ = false;
}

namespace {

// Store messages go to the server log as they are.
StoreLogSink LogSink(Log& log) {
  return [&log](std::string_view text) {
    log.Write("%.*s", static_cast<int>(text.size()), text.data());
  };
}

}  // namespace

int Server::LoadServerProperties() {
  properties_.LoadProperties(files_.properties, LogSink(log_));
  return 0;
}

int Server::LoadSettings() {
  SettingsLoadSteps steps;
  // The status rate table is a fixed part of the responder: nothing to allocate.
  steps.loadChannels = [this] {
    channels_.SetFile(files_.channels);
    channels_.SetLimits(ChannelLimits::From(settings_));
    return channels_.LoadChannels();
  };
  // Checked once here; its users resolve the path again each time.
  steps.defaultChannelId = [this] {
    properties_.ResolveInactivityChannel(&channels_);
    return static_cast<int>(properties_.inactivityChannelId);
  };
  const int result = settings_.Load(files_.settings, log_, steps);
  table_.SetOptions(NetOptions::From(settings_, daemon));
  return result;
}

int Server::LoadBans() {
  bans_ = std::make_unique<ServerBanList>(log_, clock_, files_.bans);
  bans_->LoadBans();
  table_.SetSpamBan([this](Connection& connection) { bans_->BanForSpam(connection); });
  return 0;
}

int Server::PrepareUpdateCheck() {
  if (!update_) {
    update_ = std::make_unique<UpdateCheck>(UpdateCheckContext{
        clock_, log_, settings_, startTime, loggedOnUsers, kServerVersion, kServerPlatform});
  }
  update_->Prepare(settings_.updateAddress, static_cast<std::uint16_t>(settings_.updatePort));
  hooks.updateTick = [this] { update_->Tick(); };
  hooks.updateSocket = [this] { return update_->Socket(); };
  hooks.updateReceive = [this] { update_->Receive(); };
  return 0;
}

int Server::LoadRanks() {
  ranks_ = std::make_unique<RankStore>(clock_, files_.ranks);
  ranks_->SetEvents(&bridge_);
  ranks_->Load();
  return 0;
}

int Server::LoadAccounts() {
  if (!ranks_) LoadRanks();
  accounts_ = std::make_unique<AccountStore>(clock_, files_.accounts, *ranks_);
  accounts_->SetSaveDelay(accountSaveDelay);
  // DefChan and the channel lists are paths in the file: the tree comes first.
  accounts_->SetChannels(&channels_);
  channels_.SetAccounts(accounts_.get());
  accounts_->SetSessions(&bridge_);
  accounts_->SetLog(LogSink(log_));
  // The store has logged why (no guest account could be made).
  return accounts_->Load() != 0 ? -1 : 0;
}

void Server::SaveStores() {
  // Each writes only when a change is pending.
  if (accounts_) accounts_->Save();
  if (ranks_) ranks_->Save();
}

void Server::CloseConnections() {
  while (table_.Count() > 0) table_.Remove(&table_.At(table_.Count() - 1));
}

void Server::RemoveConnection(Connection& connection) {
  const std::uint16_t id = connection.id;
  if (connection.IsPhantom()) {
    if (hooks.phantomGone) hooks.phantomGone(connection);
  } else if (!connection.silentRemoval) {
    if (!connection.loggedOn) {
      log_.Write("MSG_ABORT: ID %u, %s aborted.", static_cast<unsigned>(id),
                 connection.addressText.c_str());
    } else {
      hooks.departure(connection);
    }
  }
  if (!connection.IsPhantom()) {
    for (;;) {
      Connection* phantom = nullptr;
      for (std::size_t i = 0; i < table_.Count() && phantom == nullptr; ++i) {
        if (table_.At(i).phantomOwner == id) phantom = &table_.At(i);
      }
      if (phantom == nullptr) break;
      RemoveConnection(*phantom);
    }
  }
  channels_.Forget(id);
  table_.ClearClientFlag(id);
  if (accounts_) accounts_->Forget(id);
  if (ranks_) ranks_->Forget(id);
  table_.Remove(&connection);
}

void CountDeparture(Server& server) {
  if (server.loggedOnUsers > 0) --server.loggedOnUsers;
}

void LogDisconnect(Server& server, Connection& connection) {
  const std::uint32_t now = server.clock().NowSeconds();
  const std::uint32_t seconds = now >= connection.connectTime ? now - connection.connectTime : 0;
  const std::string from = std::to_string(static_cast<long long>(connection.bytesReceived));
  const std::string to = std::to_string(static_cast<long long>(connection.bytesSent));
  server.log().Write("MSG_DISC: ID %u, From=%s, To=%s, Sec=%u, Name=%s",
                     static_cast<unsigned>(connection.id), from.c_str(), to.c_str(),
                     static_cast<unsigned>(seconds), connection.name.c_str());
}

void GuestAutoBanOnDeparture(Server& server, Connection& connection) {
  const int minutes = server.properties().guestAutoBan;
  if (!connection.guest || minutes <= 0 || server.bans() == nullptr) return;
  server.bans()->AutoBan(server.table(), connection, static_cast<std::uint32_t>(minutes), false);
}

void DefaultDeparture(Server& server, Connection& connection) {
  CountDeparture(server);
  LogDisconnect(server, connection);
  GuestAutoBanOnDeparture(server, connection);
}

}  // namespace kestrune
