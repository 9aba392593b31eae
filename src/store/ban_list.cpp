#include "store/ban_list.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "config/log.h"
#include "net/connection.h"
#include "store/permission_block.h"
#include "util/file_write.h"
#include "util/text.h"

namespace kestrune {

namespace {

constexpr std::size_t kMaxAddressText = 78;

std::string Str(std::string_view text) {
  return std::string(text);
}

// One ban per line, four fields: a line break inside a field would split the
// ban in two, and a comma before the reason would shift the fields.
std::string LineField(std::string_view text, bool keepCommas) {
  std::string out(text);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 32 || (c == ',' && !keepCommas)) c = ' ';
  }
  return out;
}

std::string BanLine(std::string_view address, std::string_view name, std::string_view admin,
                    std::string_view reason) {
  return LineField(address, false) + "," + LineField(name, false) + "," + LineField(admin, false) +
         "," + LineField(reason, true) + "\n";
}

// Seconds of a temporary ban; saturates rather than wrapping.
std::uint32_t BanSeconds(std::uint32_t minutes) {
  const std::uint64_t seconds = static_cast<std::uint64_t>(minutes) * 60u;
  return seconds > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(seconds);
}

// Refusals carry minutes in a 16-bit field.
int RefusalMinutes(std::uint64_t minutes) {
  return minutes > UINT16_MAX ? UINT16_MAX : static_cast<int>(minutes);
}

// Parses into a fresh entry; false when the text cannot name a ban.
bool ParseNew(BanEntry& entry, std::string_view text) {
  return ParseAddress(entry, text) == 0;
}

}  // namespace

std::uint32_t MaskForBits(int bits) {
  if (bits <= 0) return 0;
  if (bits >= 32) return 0xFFFFFFFFu;
  return 0xFFFFFFFFu << (32 - bits);
}

int ParseAddress(BanEntry& entry, std::string_view text) {
  if (text.size() > kMaxAddressText) return -1;
  std::string address(text);
  std::size_t slash = address.find('/');
  int bits = 32;
  if (slash != std::string::npos) {
    bits = AtoiRule(address.c_str() + slash + 1);
    address.resize(slash);
    if (bits == 0) bits = 32;
    if (bits < 0 || bits > 32) {
      entry.bits = bits;
      return -2;
    }
  }
  entry.address = ntohl(inet_addr(address.c_str()));
  entry.bits = bits;
  entry.mask = MaskForBits(bits);
  return 0;
}

std::string AddressText(const BanEntry& entry) {
  char text[32];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", (entry.address >> 24) & 0xFF,
                (entry.address >> 16) & 0xFF, (entry.address >> 8) & 0xFF, entry.address & 0xFF);
  std::string out = text;
  if (entry.bits != 0 && entry.bits != 32) {
    out += '/';
    out += std::to_string(entry.bits);
  }
  return out;
}

BanEntry* BanList::FindCovering(std::uint32_t address) {
  for (auto& entry : entries_) {
    if ((entry->address & entry->mask) == (address & entry->mask)) return entry.get();
  }
  return nullptr;
}

int BanList::RemoveExact(const BanEntry& pattern) {
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if ((*it)->address == pattern.address && (*it)->bits == pattern.bits) {
      entries_.erase(it);
      return 0;
    }
  }
  return -1;
}

void BanList::Append(std::unique_ptr<BanEntry> entry) {
  if (entry) entries_.push_back(std::move(entry));
}

int BanList::Remove(const BanEntry* entry) {
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->get() == entry) {
      entries_.erase(it);
      return 0;
    }
  }
  return -1;
}

namespace {

// Steps shared by the server and channel lists: parse, refuse a covered
// address, append, log. 0, or a negative BanResult.
int AddToList(BanList& list, Log& log, const char* coveredFormat, const char* bannedFormat,
              std::string_view addressText, std::string_view name, std::string_view admin,
              std::string_view reason) {
  auto entry = std::make_unique<BanEntry>();
  if (!ParseNew(*entry, addressText)) return kBanBadAddress;
  const std::string text = Str(addressText);
  if (list.FindCovering(entry->address) != nullptr) {
    log.Write(coveredFormat, text.c_str());
    return kBanCovered;
  }
  entry->name = Str(name);
  entry->admin = Str(admin);
  entry->reason = Str(reason);
  log.Write(bannedFormat, entry->name.c_str(), text.c_str(), entry->admin.c_str(),
            entry->reason.c_str());
  list.Append(std::move(entry));
  return kBanOk;
}

// Removes the exact entry; the log names the user of the entry removed.
int RemoveFromList(BanList& list, Log& log, const char* missingFormat, const char* unbannedFormat,
                   std::string_view addressText, std::string_view admin) {
  BanEntry pattern;
  ParseAddress(pattern, addressText);
  const std::string text = Str(addressText);
  std::string name = "Unknown";
  for (std::size_t i = 0; i < list.Size(); ++i) {
    if (list.At(i).address == pattern.address && list.At(i).bits == pattern.bits) {
      name = list.At(i).name;
      break;
    }
  }
  if (list.RemoveExact(pattern) != 0) {
    log.Write(missingFormat, text.c_str());
    return -1;
  }
  const std::string adminText = Str(admin);
  log.Write(unbannedFormat, name.c_str(), text.c_str(), adminText.c_str());
  return 0;
}

}  // namespace

int AddChannelBan(BanList& list, Log& log, std::string_view addressText, std::string_view name,
                  std::string_view admin, std::string_view reason) {
  return AddToList(list, log, "CHANNEL: The IP %s is already banned or in a banned subnet.",
                   "CHANNEL: Banning %s, IP %s, Admin %s, Because '%s'.", addressText, name, admin,
                   reason);
}

int RemoveChannelBan(BanList& list, Log& log, std::string_view addressText,
                     std::string_view admin) {
  return RemoveFromList(list, log,
                        "ADMIN: Unable to find specified IP address for channel BanDel, %s.",
                        "ADMIN: Unbanning %s from channel, IP %s, Admin %s.", addressText, admin);
}

ServerBanList::ServerBanList(Log& log, Clock& clock, std::string path)
    : log_(log), clock_(clock), path_(std::move(path)) {}

void ServerBanList::LoadBans() {
  std::FILE* file = std::fopen(path_.c_str(), "r");
  if (file == nullptr) {
    if (errno != ENOENT) {
      log_.Write("WARNING: Unable to open banned IP file '%s'. (%d)", path_.c_str(), errno);
    }
    return;
  }
  char buffer[999];
  while (std::fgets(buffer, sizeof buffer, file) != nullptr) {
    std::string rest = buffer;
    std::string address, name, admin;
    NextToken(rest, ',', address);
    NextToken(rest, ',', name);
    NextToken(rest, ',', admin);
    TrimBlanks(address);
    TrimBlanks(name);
    TrimBlanks(admin);
    TrimBlanks(rest);
    if (address.empty()) continue;
    auto entry = std::make_unique<BanEntry>();
    // A line whose prefix length is out of range bans nothing sensible.
    if (!ParseNew(*entry, address)) continue;
    if (list_.FindCovering(entry->address) != nullptr) continue;
    entry->name = std::move(name);
    entry->admin = std::move(admin);
    entry->reason = std::move(rest);
    list_.Append(std::move(entry));
  }
  std::fclose(file);
}

int ServerBanList::RewriteBans() {
  std::string contents;
  for (std::size_t i = 0; i < list_.Size(); ++i) {
    const BanEntry& entry = list_.At(i);
    if (entry.temporary) continue;
    contents += BanLine(AddressText(entry), entry.name, entry.admin, entry.reason);
  }
  if (WriteFileAtomically(path_, contents) != 0) {
    log_.Write("ADMIN: Unable to rewrite the ban file '%s'.", path_.c_str());
    return -1;
  }
  return 0;
}

bool ServerBanList::Expired(BanEntry& entry) {
  if (!entry.temporary) return false;
  std::uint32_t now = clock_.NowSeconds();
  if (entry.expiryStart > now) entry.expiryStart = now;
  return now - entry.expiryStart >= entry.expirySeconds;
}

void ServerBanList::RemoveExpired() {
  for (std::size_t i = 0; i < list_.Size();) {
    if (Expired(list_.At(i))) {
      list_.Remove(&list_.At(i));
    } else {
      ++i;
    }
  }
}

bool ServerBanList::Full() {
  if (list_.Size() < kMaxEntries) return false;
  RemoveExpired();
  return list_.Size() >= kMaxEntries;
}

int ServerBanList::AddBan(std::string_view addressText, std::string_view name,
                          std::string_view admin, std::string_view reason) {
  if (Full()) return kBanListFull;
  int result = AddToList(list_, log_, "ADMIN: The IP %s is already banned or in a banned subnet.",
                         "ADMIN: Banning %s, IP %s, Admin %s, Because '%s'.", addressText, name,
                         admin, reason);
  if (result != kBanOk) return result;
  std::FILE* file = std::fopen(path_.c_str(), "a");
  if (file == nullptr) return kBanNotAppended;
  const std::string line = BanLine(addressText, name, admin, reason);
  bool written = std::fputs(line.c_str(), file) >= 0;
  if (std::fclose(file) != 0) written = false;
  return written ? kBanOk : kBanNotAppended;
}

int ServerBanList::RemoveBan(std::string_view addressText, std::string_view admin) {
  if (RemoveFromList(list_, log_, "ADMIN: Unable to find specified IP address for BanDel, %s.",
                     "ADMIN: Unbanning %s, IP %s, Admin %s.", addressText, admin) != 0) {
    return -1;
  }
  RewriteBans();
  return 0;
}

void ServerBanList::AutoBan(ConnectionTable& table, Connection& connection, std::uint32_t minutes,
                            bool kick) {
  // Closing clears the administrator mark, and a guest is banned on its way
  // out; the AdminMode mirror of the permission copy survives the close.
  const bool adminMode =
      connection.administrator || connection.HasPermission(PermissionBlock::kAdminModeMirror);
  if (adminMode || Full()) return;
  auto entry = std::make_unique<BanEntry>();
  if (!ParseNew(*entry, connection.addressText)) return;
  if (list_.FindCovering(entry->address) == nullptr) {
    entry->name = connection.name;
    entry->admin = "AUTO";
    entry->reason = "AUTO";
    entry->temporary = true;
    entry->expiryStart = clock_.NowSeconds();
    entry->expirySeconds = BanSeconds(minutes);
    list_.Append(std::move(entry));
  }
  if (kick) {
    table.DisconnectWithNotice(connection, kReasonTemporarilyBanned,
                               RefusalMinutes(static_cast<std::uint64_t>(minutes) + 1));
  }
}

void ServerBanList::BanForSpam(Connection& connection) {
  AddBan(connection.addressText, connection.name, "AUTO", "Spamming");
}

BanCheck ServerBanList::CheckConnect(std::uint32_t address, std::uint16_t id,
                                     const std::string& addressText) {
  BanCheck check;
  BanEntry* entry = list_.FindCovering(address);
  if (entry == nullptr) return check;
  ++entry->attempts;
  std::uint32_t now = clock_.NowMs();
  if (!entry->reported || ElapsedMs(entry->lastLogged, now, kReportIntervalMs)) {
    log_.Write("MSG_CONN: ID %u, IP %s, Banned address. Attempts=%d", static_cast<unsigned>(id),
               addressText.c_str(), static_cast<int>(entry->attempts));
    entry->lastLogged = now;
    entry->reported = true;
    check.notify = true;
  }
  if (entry->temporary) {
    if (Expired(*entry)) {
      list_.Remove(entry);
      check.notify = false;
      return check;
    }
    std::uint32_t seconds = clock_.NowSeconds();
    std::uint32_t left = entry->expirySeconds - (seconds - entry->expiryStart);
    check.refused = true;
    check.reason = kReasonTemporarilyBanned;
    check.minutes = RefusalMinutes(static_cast<std::uint64_t>(left) / 60 + 1);
    return check;
  }
  check.refused = true;
  check.reason = kReasonBanned;
  check.minutes = 0;
  return check;
}

}  // namespace kestrune
