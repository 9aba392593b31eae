// The server settings file (section [Server] of the .ini) and the voice codec
// and format table. Loaded once at start-up; afterwards only the console changes
// a few of them (Auth, Diag, the login password, PingRate, TimeStamp).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "store/ini_file.h"
#include "store/password_digest.h"

namespace kestrune {

class Log;

// One voice format of a codec.
struct FormatRecord {
  std::int32_t tag = 0;
  std::int32_t extra = 0;
  std::int32_t reserved1 = 0;
  std::int32_t reserved2 = 0;
  std::int32_t sampleRate = 0;
  std::int32_t bitsPerSample = 16;
  std::int32_t quality = 0;
  std::int32_t bytesPerSecond = 0;
  std::string description;
};

// One voice codec with its formats, numbered from 0 in list order.
struct CodecRecord {
  std::string name;
  std::int32_t id1 = 0;
  std::int32_t id2 = 0;
  std::vector<FormatRecord> formats;
};

// Always 4.
int CodecCount();
// The codec numbered 0 to 3, or nullptr.
const CodecRecord* CodecByNumber(int codec);
// The format of that codec, or nullptr (bad codec, negative or too large format).
const FormatRecord* FormatByNumber(int codec, int format);

// Result codes of ServerSettings::Load (0 is success).
inline constexpr int kSettingsOk = 0;
inline constexpr int kSettingsBadFile = -1;  // unreadable file or no [Server]
inline constexpr int kSettingsBadText = -2;  // name or passwords
inline constexpr int kSettingsNoRateTable = -10;
inline constexpr int kSettingsBadSendBuffer = -12;
inline constexpr int kSettingsBadRecvBuffer = -13;
inline constexpr int kSettingsBadLogonTimeout = -14;
inline constexpr int kSettingsBadPingRate = -15;
inline constexpr int kSettingsBadExtraBuffer = -16;
inline constexpr int kSettingsBadVoiceCodec = -17;
inline constexpr int kSettingsBadVoiceFormat = -18;
inline constexpr int kSettingsBadChanWidth = -19;
inline constexpr int kSettingsBadChanDepth = -20;
inline constexpr int kSettingsBadChanClients = -21;
inline constexpr int kSettingsBadPort = -22;
inline constexpr int kSettingsBadUpdateServer = -23;

// The last steps of the load belong to other parts of the server; each empty
// function counts as success (and 0 as the default channel's id).
struct SettingsLoadSteps {
  // Status responder rate table; non-zero fails the load with -10.
  std::function<int()> allocateStatusRates;
  // Channel definitions; a non-zero result ends the load with that code.
  std::function<int()> loadChannels;
  // Id of the channel named by the server properties' InactivityChannel,
  // 0 when there is no such channel.
  std::function<int()> defaultChannelId;
};

struct ServerSettings {
  static constexpr int kDefaultPort = 3784;
  static constexpr int kDefaultBuffer = 131072;
  static constexpr int kMinBuffer = 4096;
  static constexpr int kMinExtraBuffer = 32768;
  static constexpr int kMaxExtraBuffer = 1048576;
  static constexpr int kMaxChanDepth = 8;
  static constexpr std::size_t kMaxNameLength = 31;
  static constexpr int kMaxClients = 8;
  static constexpr const char* kDefaultUpdateServer = "127.0.0.1:5000";
  static constexpr int kDefaultUpdatePort = 5000;

  std::string name;
  std::string phonetic;
  int auth = -1;
  int diag = 0;
  PasswordDigest encPassLogin;  // from EncPassLogin or Password
  PasswordDigest encPassAdmin;  // from EncPassAdmin or AdminPassword
  int port = kDefaultPort;
  int duplicates = 0;
  int sendBuffer = kDefaultBuffer;
  int recvBuffer = kDefaultBuffer;
  int logonTimeout = 5;
  int closeStd = 1;
  int timeStamp = 0;
  int pingRate = 10;
  int extraBuffer = kDefaultBuffer;
  int chanWidth = 0;
  int chanDepth = kMaxChanDepth;
  int chanClients = 0;
  int disableQuit = 1;
  int voiceCodec = 0;
  int voiceFormat = 0;
  int silentLobby = 0;
  int autoKick = 0;
  // UpdateServer as written, and its parts (address in host byte order).
  std::string updateServer = kDefaultUpdateServer;
  std::uint32_t updateAddress = 0x7F000001u;
  int updatePort = kDefaultUpdatePort;
  // Id of the InactivityChannel found after the channels load (0: none).
  int defaultChannelId = 0;

  // Reads `path` and loads it; failures log their message and return the code.
  // Once TimeStamp is read, `log` follows it (Log::SetTimeStamp).
  int Load(const std::string& path, Log& log, const SettingsLoadSteps& steps = {});
  // The same rules on a document already in memory (the file steps skipped).
  int Load(const IniFile& ini, Log& log, const SettingsLoadSteps& steps = {});

  // The selected codec and format (valid after a successful load).
  const CodecRecord& Codec() const;
  const FormatRecord& Format() const;

  // The start-up dump: one log line per value, then two empty lines.
  void Dump(Log& log, const char* version) const;
};

// "a.b.c.d" or "a.b.c.d:port" (port 1 to 65535, default 5000); false otherwise.
bool ParseUpdateServer(const std::string& text, std::uint32_t& address, int& port);

}  // namespace kestrune
