// Banned IPv4 addresses and subnets: the entry, the ordered list with its
// matching rule, the server-wide list with its ban file, temporary bans, and
// the channel lists (kept in the channel definitions, no file of their own).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "util/clock.h"

namespace kestrune {

class Connection;
class ConnectionTable;
class Log;

struct BanEntry {
  std::uint32_t address = 0;  // host byte order
  std::uint32_t mask = 0xFFFFFFFFu;
  int bits = 32;
  std::string name;
  std::string admin;
  std::string reason;
  std::uint32_t lastLogged = 0;  // millisecond clock of the last reported attempt
  bool reported = false;         // an attempt has been reported at least once
  std::uint32_t attempts = 0;
  bool temporary = false;           // never written to the ban file
  std::uint32_t expiryStart = 0;    // wall-clock seconds when a temporary ban began
  std::uint32_t expirySeconds = 0;  // its length
};

enum BanResult : int {
  kBanOk = 0,
  kBanCovered = -1,      // AddBan: already covered; RemoveBan: no exact entry
  kBanNotAppended = -2,  // added, but the ban file could not be appended to
  kBanListFull = -3,
  kBanBadAddress = -4,  // the address text does not parse; nothing added
};

// The mask whose top `bits` bits are set (0 for 0 or less, all ones from 32).
std::uint32_t MaskForBits(int bits);

// "a.b.c.d" optionally followed by "/n". 0; -1 for a text longer than 78
// bytes (entry unchanged); -2 when n is outside 0..32 (bits take n, address
// and mask unchanged). n = 0 is read as 32; an invalid address is all ones.
int ParseAddress(BanEntry& entry, std::string_view text);
// Dotted quad, with "/bits" unless the bits are 0 or 32.
std::string AddressText(const BanEntry& entry);

class BanList {
 public:
  std::size_t Size() const { return entries_.size(); }
  BanEntry& At(std::size_t index) { return *entries_[index]; }
  const BanEntry& At(std::size_t index) const { return *entries_[index]; }
  // The first entry, in list order, whose subnet holds the address; or none.
  BanEntry* FindCovering(std::uint32_t address);
  // Removes the first entry with the same address and bits; 0 or -1.
  int RemoveExact(const BanEntry& pattern);
  void Append(std::unique_ptr<BanEntry> entry);
  // Removes this very entry; -1 when it is not in the list.
  int Remove(const BanEntry* entry);
  void Clear() { entries_.clear(); }

 private:
  std::vector<std::unique_ptr<BanEntry>> entries_;
};

// Channel bans: like AddBan and RemoveBan without a limit or a file.
int AddChannelBan(BanList& list, Log& log, std::string_view addressText, std::string_view name,
                  std::string_view admin, std::string_view reason);
int RemoveChannelBan(BanList& list, Log& log, std::string_view addressText, std::string_view admin);

// What the accept path does with a banned peer.
struct BanCheck {
  bool refused = false;
  int reason = 0;       // 48 temporary, 49 permanent
  int minutes = 0;      // temporary: seconds left / 60 + 1
  bool notify = false;  // reported now: send the notice
};

class ServerBanList {
 public:
  static constexpr std::size_t kMaxEntries = 4096;
  static constexpr std::uint32_t kReportIntervalMs = 10000;

  ServerBanList(Log& log, Clock& clock, std::string path);

  BanList& List() { return list_; }
  const std::string& Path() const { return path_; }

  // Start-up: reads the ban file into the list (a missing file is no error).
  void LoadBans();
  // Writes every permanent entry; 0, or -1 with a message.
  int RewriteBans();
  int AddBan(std::string_view addressText, std::string_view name, std::string_view admin,
             std::string_view reason);
  int RemoveBan(std::string_view addressText, std::string_view admin);
  // A temporary ban of the connection's address for `minutes`; nothing for an
  // administrator or when the list is full. With `kick` the connection then
  // gets the temporary-ban notice.
  void AutoBan(ConnectionTable& table, Connection& connection, std::uint32_t minutes, bool kick);
  // Verdict 2 of spam control.
  void BanForSpam(Connection& connection);
  // Full once more than 4095 entries remain after expired temporary bans are dropped.
  bool Full();
  // Accept-time check of a peer (host byte order): counts the attempt,
  // reports it at its first time and then at most once per 10 seconds, drops
  // an expired temporary ban (the peer is then let in).
  BanCheck CheckConnect(std::uint32_t address, std::uint16_t id, const std::string& addressText);

 private:
  bool Expired(BanEntry& entry);
  void RemoveExpired();

  Log& log_;
  Clock& clock_;
  std::string path_;
  BanList list_;
};

}  // namespace kestrune
