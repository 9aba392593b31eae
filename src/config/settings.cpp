#include "config/settings.h"

#include <array>
#include <cstdlib>

#include "config/log.h"
#include "util/text.h"

namespace kestrune {
namespace {

FormatRecord MakeFormat(int tag, int extra, int rate, int quality, int bytesPerSecond,
                        std::string description) {
  FormatRecord format;
  format.tag = tag;
  format.extra = extra;
  format.sampleRate = rate;
  format.quality = quality;
  format.bytesPerSecond = bytesPerSecond;
  format.description = std::move(description);
  return format;
}

std::vector<CodecRecord> BuildCodecTable() {
  std::vector<CodecRecord> codecs(4);
  codecs[0].name = "GSM 6.10";
  codecs[0].id1 = 1;
  codecs[0].id2 = 36;
  codecs[0].formats = {MakeFormat(49, 0, 8000, 0, 1625, "8 KHz, 16 bit"),
                       MakeFormat(49, 0, 11025, 0, 2210, "11 KHz, 16 bit"),
                       MakeFormat(49, 0, 22050, 0, 4420, "22 KHz, 16 bit"),
                       MakeFormat(49, 0, 44100, 0, 8905, "44 KHz, 16 bit")};
  codecs[1].name = "DSP Group TrueSpeech";
  codecs[1].id1 = 43;
  codecs[1].id2 = 1;
  codecs[1].formats = {MakeFormat(34, 0, 8000, 0, 1056, "8 KHz, 16 bit")};
  codecs[2].name = "Lernout & Hauspie";
  codecs[2].id1 = 1;
  codecs[2].id2 = 90;
  codecs[2].formats = {MakeFormat(112, 4353, 8000, 0, 600, "8 KHz, 16 bit")};
  codecs[3].name = "Speex";
  codecs[3].id1 = -1;
  codecs[3].id2 = 0;
  // Speex: three sample rates with eleven qualities each, format = 11 * rate + quality.
  static constexpr std::array<int, 3> kRates = {8000, 16000, 32000};
  static constexpr int kSpeexBytes[3][11] = {
      {424, 620, 865, 1110, 1110, 1502, 1502, 1922, 1922, 2384, 3168},
      {620, 865, 1110, 1355, 1698, 2188, 2678, 3070, 3560, 4344, 5324},
      {669, 1061, 1306, 1551, 1943, 2433, 2874, 3266, 3756, 4540, 5520}};
  for (int r = 0; r < 3; ++r) {
    for (int q = 0; q <= 10; ++q) {
      codecs[3].formats.push_back(MakeFormat(
          -(20 * r + q + 1), 0, kRates[r], q, kSpeexBytes[r][q],
          std::to_string(kRates[r] / 1000) + " KHz, 16 bit, " + std::to_string(q) + " Qlty"));
    }
  }
  return codecs;
}

const std::vector<CodecRecord>& CodecTable() {
  static const std::vector<CodecRecord> table = BuildCodecTable();
  return table;
}

// Reads a password pair: the digest key wins over the plain one when present.
int ReadPassword(const IniSection& section, const char* digestKey, const char* plainKey,
                 PasswordDigest& digest, Log& log, const char* digestError,
                 const char* plainError) {
  digest.Clear();
  if (const IniEntry* entry = section.FindEntry(digestKey)) {
    std::string hex = entry->value;
    TrimBlanks(hex);
    if (digest.FromHex(hex) != 0) {
      log.Write("%s", digestError);
      return kSettingsBadText;
    }
    return kSettingsOk;
  }
  std::string plain;
  if (const IniEntry* entry = section.FindEntry(plainKey)) plain = entry->value;
  if (!plain.empty() && digest.FromPlain(plain) != 0) {
    log.Write("%s", plainError);
    return kSettingsBadText;
  }
  return kSettingsOk;
}

int ReadInt(const IniSection& section, const char* key, int defaultValue) {
  const IniEntry* entry = section.FindEntry(key);
  return entry != nullptr ? AtoiRule(entry->value.c_str()) : defaultValue;
}

std::string ReadText(const IniSection& section, const char* key) {
  const IniEntry* entry = section.FindEntry(key);
  std::string text = entry != nullptr ? entry->value : std::string();
  TrimBlanks(text);
  return text;
}

// A decimal number of 1 to `maxDigits` digits within [0, maxValue].
bool ParseDecimal(const std::string& text, std::size_t maxDigits, long maxValue, long& value) {
  if (text.empty() || text.size() > maxDigits) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return value <= maxValue;
}

}  // namespace

int CodecCount() {
  return static_cast<int>(CodecTable().size());
}

const CodecRecord* CodecByNumber(int codec) {
  if (codec < 0 || codec >= CodecCount()) return nullptr;
  return &CodecTable()[static_cast<std::size_t>(codec)];
}

const FormatRecord* FormatByNumber(int codec, int format) {
  const CodecRecord* record = CodecByNumber(codec);
  if (record == nullptr || format < 0 || format >= static_cast<int>(record->formats.size())) {
    return nullptr;
  }
  return &record->formats[static_cast<std::size_t>(format)];
}

bool ParseUpdateServer(const std::string& text, std::uint32_t& address, int& port) {
  std::string host = text;
  long portValue = ServerSettings::kDefaultUpdatePort;
  const std::size_t colon = text.find(':');
  if (colon != std::string::npos) {
    host = text.substr(0, colon);
    if (!ParseDecimal(text.substr(colon + 1), 5, 65535, portValue) || portValue < 1) {
      return false;
    }
  }
  std::vector<std::string> parts;
  if (SplitList(host, '.', parts) != 4 || host.back() == '.') return false;
  std::uint32_t value = 0;
  for (const std::string& part : parts) {
    long octet = 0;
    if (!ParseDecimal(part, 3, 255, octet)) return false;
    value = (value << 8) | static_cast<std::uint32_t>(octet);
  }
  address = value;
  port = static_cast<int>(portValue);
  return true;
}

int ServerSettings::Load(const std::string& path, Log& log, const SettingsLoadSteps& steps) {
  IniFile ini;
  if (ini.Load(path, false) != IniFile::kLoaded) {
    log.Write("Unable to open configuration file '%s'.", path.c_str());
    return kSettingsBadFile;
  }
  return Load(ini, log, steps);
}

int ServerSettings::Load(const IniFile& ini, Log& log, const SettingsLoadSteps& steps) {
  const IniSection* found = ini.FindSection("Server");
  if (found == nullptr) {
    log.Write("Bad configuration file.");
    return kSettingsBadFile;
  }
  const IniSection& section = *found;

  name = ReadText(section, "Name");
  if (name.empty()) {
    log.Write("Server must have a valid name.");
    return kSettingsBadText;
  }
  if (name.size() < 2) {
    log.Write("Server name must be at least 2 characters long.");
    return kSettingsBadText;
  }
  phonetic = ReadText(section, "Phonetic");
  auth = ReadInt(section, "Auth", -1);
  diag = ReadInt(section, "Diag", 0);

  int result = ReadPassword(section, "EncPassLogin", "Password", encPassLogin, log,
                            "Bad EncPassLogin specified.", "Bad password specified.");
  if (result != kSettingsOk) return result;
  result = ReadPassword(section, "EncPassAdmin", "AdminPassword", encPassAdmin, log,
                        "Bad EncPassAdmin specified.", "Bad admin password specified.");
  if (result != kSettingsOk) return result;

  port = ReadInt(section, "Port", kDefaultPort);
  if (port < 1 || port > 65535) {
    log.Write("Port must be >= 1 and <= 65535");
    return kSettingsBadPort;
  }
  duplicates = ReadInt(section, "Duplicates", 0);

  sendBuffer = ReadInt(section, "SendBuffer", kDefaultBuffer);
  if (sendBuffer != 0 && sendBuffer < kMinBuffer) {
    log.Write("SendBuffer must be >= %d.", kMinBuffer);
    return kSettingsBadSendBuffer;
  }
  if (sendBuffer == 0) sendBuffer = kDefaultBuffer;
  recvBuffer = ReadInt(section, "RecvBuffer", kDefaultBuffer);
  if (recvBuffer != 0 && recvBuffer < kMinBuffer) {
    log.Write("RecvBuffer must be >= %d.", kMinBuffer);
    return kSettingsBadRecvBuffer;
  }
  if (recvBuffer == 0) recvBuffer = kDefaultBuffer;

  logonTimeout = ReadInt(section, "LogonTimeout", 5);
  if (logonTimeout < 0 || logonTimeout > 30) {
    log.Write("LogonTimeout must be >= 0 and <= 30");
    return kSettingsBadLogonTimeout;
  }
  closeStd = ReadInt(section, "CloseStd", 1);
  timeStamp = ReadInt(section, "TimeStamp", 0);
  // The log follows the setting from here on, so the rest of the load's
  // lines already carry the stamp on the console.
  log.SetTimeStamp(timeStamp != 0);

  pingRate = ReadInt(section, "PingRate", 10);
  if (pingRate < 1 || pingRate > 10) {
    log.Write("PingRate must be >= 1 and <= 10");
    return kSettingsBadPingRate;
  }

  extraBuffer = ReadInt(section, "ExtraBuffer", 0);
  if (extraBuffer == 0) extraBuffer = kDefaultBuffer;
  if (extraBuffer < kMinExtraBuffer || extraBuffer > kMaxExtraBuffer) {
    log.Write("ExtraBuffer must be >= %d and <= %d", kMinExtraBuffer, kMaxExtraBuffer);
    return kSettingsBadExtraBuffer;
  }

  chanWidth = ReadInt(section, "ChanWidth", 0);
  if (chanWidth < 0) {
    log.Write("ChanWidth must be >= 0");
    return kSettingsBadChanWidth;
  }
  chanDepth = ReadInt(section, "ChanDepth", 0);
  if (chanDepth < 0 || chanDepth > kMaxChanDepth) {
    log.Write("ChanDepth must be >= 0 and <= %d", kMaxChanDepth);
    return kSettingsBadChanDepth;
  }
  if (chanDepth == 0) chanDepth = kMaxChanDepth;
  chanClients = ReadInt(section, "ChanClients", 0);
  if (chanClients < 0) {
    log.Write("ChanClients must be >= 0");
    return kSettingsBadChanClients;
  }
  disableQuit = ReadInt(section, "DisableQuit", 1);

  voiceCodec = ReadInt(section, "VoiceCodec", 0);
  const CodecRecord* codec = CodecByNumber(voiceCodec);
  if (codec == nullptr) {
    log.Write("VoiceCodec option is out of range.");
    return kSettingsBadVoiceCodec;
  }
  voiceFormat = ReadInt(section, "VoiceFormat", 0);
  if (FormatByNumber(voiceCodec, voiceFormat) == nullptr) {
    log.Write("VoiceFmt option is invalid for '%s' codec.", codec->name.c_str());
    return kSettingsBadVoiceFormat;
  }

  silentLobby = ReadInt(section, "SilentLobby", 0);
  autoKick = ReadInt(section, "AutoKick", 0);

  if (const IniEntry* entry = section.FindEntry("UpdateServer")) {
    updateServer = entry->value;
    TrimBlanks(updateServer);
  } else {
    updateServer = kDefaultUpdateServer;
  }
  if (!ParseUpdateServer(updateServer, updateAddress, updatePort)) {
    log.Write("Bad UpdateServer specified.");
    return kSettingsBadUpdateServer;
  }

  const IniSection* intf = ini.FindSection("Intf");
  if (intf != nullptr && intf->EntryCount() > 0) {
    log.Write("WARNING: The [Intf] section is not supported by this server; it is ignored.");
  }

  if (steps.allocateStatusRates && steps.allocateStatusRates() != 0) {
    return kSettingsNoRateTable;
  }
  if (steps.loadChannels) {
    result = steps.loadChannels();
    if (result != 0) return result;
  }
  defaultChannelId = steps.defaultChannelId ? steps.defaultChannelId() : 0;
  return kSettingsOk;
}

const CodecRecord& ServerSettings::Codec() const {
  const CodecRecord* codec = CodecByNumber(voiceCodec);
  return codec != nullptr ? *codec : *CodecByNumber(0);
}

const FormatRecord& ServerSettings::Format() const {
  const FormatRecord* format = FormatByNumber(voiceCodec, voiceFormat);
  return format != nullptr ? *format : *FormatByNumber(0, 0);
}

void ServerSettings::Dump(Log& log, const char* version) const {
  const CodecRecord& codec = Codec();
  const FormatRecord& format = Format();
  log.Write("Version           = %s", version);
  log.Write("Name              = %s", name.c_str());
  log.Write("Phonetic          = %s", phonetic.c_str());
  log.Write("Auth              = %d", auth);
  log.Write("Duplicates        = %d", duplicates);
  log.Write("SendBuffer        = %d", sendBuffer);
  log.Write("RecvBuffer        = %d", recvBuffer);
  log.Write("LogonTimeout      = %d", logonTimeout);
  log.Write("CloseStd          = %d", closeStd);
  log.Write("TimeStamp         = %d", timeStamp);
  log.Write("PingRate          = %d", pingRate);
  log.Write("ExtraBuffer       = %d", extraBuffer);
  log.Write("ChanWidth         = %d", chanWidth);
  log.Write("ChanDepth         = %d", chanDepth);
  log.Write("ChanClients       = %d", chanClients);
  log.Write("DisableQuit       = %d", disableQuit);
  log.Write("VoiceCodec        = %d (%s)", voiceCodec, codec.name.c_str());
  log.Write("VoiceFormat       = %d (%s) - Bytes/Sec %d", voiceFormat, format.description.c_str(),
            format.bytesPerSecond);
  log.Write("SilentLobby       = %d", silentLobby);
  log.Write("AutoKick          = %d", autoKick);
  log.Write("MaxClients        = %d", kMaxClients);
  log.Write("%s", "");
  log.Write("%s", "");
}

}  // namespace kestrune
