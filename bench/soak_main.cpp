// bench_soak: a long random run of 8 clients against kestrune_srv (normally
// the sanitizer build), then the checks: every client logged in again in
// time, SIGTERM ended the server with status 0 and no sanitizer report, and
// the accounts file holds every account edit the server acknowledged.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/relay_processes.h"
#include "bench/soak_accounts.h"
#include "bench/soak_client.h"
#include "config/settings.h"
#include "store/password_digest.h"

namespace kestrune::bench {
namespace {

constexpr int kClients = 8;
constexpr const char* kAdminPassword = "keeper";
constexpr const char* kAdminName = "Warden";
constexpr const char* kAccountPassword = "soakpw";

struct Options {
  std::string server;
  double seconds = 60;
  std::uint32_t seed = 1;
  bool keep = false;
};

int Usage(const char* problem) {
  if (problem != nullptr) std::fprintf(stderr, "bench_soak: %s\n", problem);
  std::fprintf(stderr,
               "usage: bench_soak [--server PATH] [--seconds N] [--seed S] [--keep]\n"
               "  --server PATH  the kestrune_srv to start (default: next to this program)\n"
               "  --seconds N    length of the random run (default 60)\n"
               "  --seed S       seed of the clients' choices (default 1)\n"
               "  --keep         keep the server's folder (its log, files and stderr)\n");
  return 2;
}

std::string Hex(const std::string& password) {
  PasswordDigest digest;
  digest.FromPlain(password);
  return digest.ToHex();
}

std::size_t CountOf(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

// The tree: an open branch, two password roots (one with a child that
// shares its password), and the two floor modes.
const std::vector<std::pair<SoakChannel, std::string>>& Channels() {
  static const std::vector<std::pair<SoakChannel, std::string>> kChannels = {
      {{"Lounge", ""}, "[Lounge]\nEncPassChan=\n"},
      {{"Nook", ""}, "[Lounge/Nook]\nEncPassChan=\n"},
      {{"Den", "denpw"}, "[Den]\nEncPassChan=" + Hex("denpw") + "\nProtMode=1\n"},
      {{"Back", "denpw"}, "[Den/Back]\nEncPassChan=\n"},
      {{"Attic", "atticpw"},
       "[Attic]\nEncPassChan=" + Hex("atticpw") + "\nProtMode=1\nAllowGuestToJoin=0\n"},
      {{"Cellar", ""}, "[Cellar]\nEncPassChan=\nVoiceMode=1\nTimeLimit=2\n"},
      {{"Stage", ""}, "[Stage]\nEncPassChan=\nVoiceMode=2\nTimeLimit=3\n"},
  };
  return kChannels;
}

std::vector<SoakIdentity> Identities() {
  std::vector<SoakIdentity> identities;
  for (int i = 0; i < kClients; ++i) {
    SoakIdentity identity;
    const std::string address = "127.0.0." + std::to_string(40 + i);
    if (i == 0) {
      identity = {kAdminName, kAccountPassword, address, true};
    } else if (i < 6) {
      identity = {"Soaker" + std::to_string(i), kAccountPassword, address, false};
    } else {
      identity = {"Visitor" + std::to_string(i), "", address, false};
    }
    identities.push_back(identity);
  }
  return identities;
}

std::string AccountsFile() {
  std::string text;
  int uid = 1;
  for (const SoakIdentity& identity : Identities()) {
    if (identity.password.empty()) continue;
    text += "[" + identity.name + "]\nUID=" + std::to_string(uid++) +
            "\nEncPass=" + Hex(identity.password) + "\nRcon=1\nUsersBan=1\n";
  }
  return text + "[Guest]\nUID=" + std::to_string(uid) + "\n";
}

// No spam rule acts, no guest is banned or kicked for time, nobody is moved
// for idleness.
constexpr const char* kProperties =
    "[SrvProp]\nSpamChat=0,1000,2\nSpamComment=0,1000,2\nSpamWave=0,1000,2\n"
    "SpamTTS=0,1000,2\nSpamChannel=0,1000,2\nGuestAutoBan=0\nGuestAutoKick=0\n"
    "GuestMaxLogin=0\nInactivityTimeout=0\nComment=soak\n";

int ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (arg == "--keep") {
      options.keep = true;
    } else if (arg == "--help" || arg == "-h") {
      return Usage(nullptr);
    } else if (value == nullptr) {
      return Usage("an option lacks its value");
    } else if (arg == "--server") {
      options.server = value;
      ++i;
    } else if (arg == "--seconds") {
      char* end = nullptr;
      options.seconds = std::strtod(value, &end);
      if (*end != '\0' || options.seconds <= 0 || options.seconds > 86400) {
        return Usage("--seconds must be above 0 and at most 86400");
      }
      ++i;
    } else if (arg == "--seed") {
      char* end = nullptr;
      options.seed = static_cast<std::uint32_t>(std::strtoul(value, &end, 10));
      if (*end != '\0') return Usage("--seed must be a whole number");
      ++i;
    } else {
      return Usage("unknown option");
    }
  }
  if (options.server.empty()) options.server = ProgramFolder() + "/kestrune_srv";
  // The server runs in its own folder, so a relative path would not reach it.
  std::error_code ignored;
  options.server = std::filesystem::absolute(options.server, ignored).string();
  return 0;
}

void PrintSummary(const SoakStats& stats, const AccountModel& model, double seconds, int checked) {
  std::printf("\nbench_soak: %d clients, %.0f s\n", kClients, seconds);
  std::printf("  connections          %llu\n", static_cast<unsigned long long>(stats.connections));
  std::printf("  logins               %llu (retried attempts %llu, late or failed %llu)\n",
              static_cast<unsigned long long>(stats.logins),
              static_cast<unsigned long long>(stats.loginRetries),
              static_cast<unsigned long long>(stats.loginFailures));
  std::printf(
      "  worst re-login       %lld ms (slowest connect %lld, handshake %lld, login %lld ms)\n",
      static_cast<long long>(stats.worstLoginMs), static_cast<long long>(stats.worstPhaseMs[0]),
      static_cast<long long>(stats.worstPhaseMs[1]), static_cast<long long>(stats.worstPhaseMs[2]));
  std::uint64_t total = 0;
  for (auto count : stats.sent) total += count;
  std::printf("  messages sent        %llu\n", static_cast<unsigned long long>(total));
  for (int kind = 0; kind < kSentKinds; ++kind) {
    std::printf("    %-18s %llu\n", SentKindName(kind),
                static_cast<unsigned long long>(stats.sent[static_cast<std::size_t>(kind)]));
  }
  std::printf("  messages received    %llu\n", static_cast<unsigned long long>(stats.received));
  std::printf("  malformed sent       %llu (server closed after %llu)\n",
              static_cast<unsigned long long>(stats.malformed),
              static_cast<unsigned long long>(stats.malformedClosed));
  if (!stats.malformedOpen.empty()) {
    std::printf("    left open, by kind ");
    for (const auto& [kind, count] : stats.malformedOpen) {
      std::printf("%d:%llu ", kind, static_cast<unsigned long long>(count));
    }
    std::printf("\n");
  }
  std::printf("  drops                %llu\n", static_cast<unsigned long long>(stats.drops));
  std::printf("  closed by the server %llu (besides malformed)\n",
              static_cast<unsigned long long>(stats.serverCloses));
  std::printf("  refusals             ");
  for (const auto& [code, count] : stats.refusals) {
    std::printf("%d:%llu ", code, static_cast<unsigned long long>(count));
  }
  std::printf("\n  account edits        %llu acknowledged, %llu refused, %llu answer lost\n",
              static_cast<unsigned long long>(stats.accountAcks),
              static_cast<unsigned long long>(stats.accountRefused),
              static_cast<unsigned long long>(stats.accountLost));
  std::printf("  editor listings      %llu compared with the model\n",
              static_cast<unsigned long long>(stats.listings));
  std::printf("  model at the end     %zu accounts present, %zu deleted, %s; %d checked on disk\n",
              model.PresentCount(), model.DeletedCount(),
              model.InDoubt() ? "one edit in doubt" : "nothing in doubt", checked);
}

int Run(const Options& options) {
  TempFolder folder;
  if (!folder.Ok()) {
    std::fprintf(stderr, "bench_soak: no temporary folder\n");
    return 1;
  }
  if (options.keep) folder.Keep();

  ServerOptions server;
  server.program = options.server;
  server.extraSettings =
      "Name=Kestrune Soak\nLogonTimeout=5\nDuplicates=0\nPingRate=2\n"
      "EncPassAdmin=" +
      Hex(kAdminPassword) + "\n";
  server.accounts = AccountsFile();
  std::string channels;
  for (const auto& [channel, text] : Channels()) channels += text;
  server.files = {{".prop", kProperties}, {".chn", channels}};
  // Account saves every 10 s of edits, so the file is rewritten throughout.
  server.args = {"-u10"};

  ServerRelay relay;
  std::string error;
  if (!relay.Start(folder.Path(), server, error)) {
    std::fprintf(stderr, "bench_soak: %s\n", error.c_str());
    return 1;
  }
  std::printf("bench_soak: server %s on port %u, folder %s, seed %u\n", options.server.c_str(),
              relay.Port(), folder.Path().c_str(), options.seed);
  std::fflush(stdout);

  SoakWorld world;
  world.port = relay.Port();
  world.adminPassword = kAdminPassword;
  for (const auto& entry : Channels()) world.channels.push_back(entry.first);
  for (const SoakIdentity& identity : Identities()) {
    if (!identity.admin && !identity.password.empty()) {
      world.liveAccounts.emplace_back(identity.name, identity.password);
    }
  }
  if (const FormatRecord* format = FormatByNumber(world.voiceCodec, world.voiceFormat)) {
    const int limit = format->bytesPerSecond / 8;
    world.voiceDataLimit = limit + limit / 2;
  }

  AccountModel model;
  std::vector<std::unique_ptr<SoakClient>> clients;
  std::uint32_t index = 0;
  for (const SoakIdentity& identity : Identities()) {
    clients.push_back(std::make_unique<SoakClient>(world, identity, options.seed * 7919u + index++,
                                                   identity.admin ? &model : nullptr));
  }

  std::atomic<bool> abort{false};
  std::atomic<int> running{kClients};
  const auto start = std::chrono::steady_clock::now();
  const auto until =
      start + std::chrono::milliseconds(static_cast<long long>(options.seconds * 1000));
  std::vector<std::thread> threads;
  for (auto& client : clients) {
    threads.emplace_back([&, raw = client.get()] {
      raw->Run(until, abort);
      --running;
    });
  }

  bool died = false;
  auto nextReport = start + std::chrono::seconds(60);
  while (running > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    if (!died && !relay.Alive()) {
      died = true;
      abort = true;
    }
    if (std::chrono::steady_clock::now() >= nextReport) {
      nextReport += std::chrono::seconds(60);
      std::printf("  ... %lld s\n",
                  static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(
                                             std::chrono::steady_clock::now() - start)
                                             .count()));
      std::fflush(stdout);
    }
  }
  for (auto& thread : threads) thread.join();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  SoakStats stats;
  for (const auto& client : clients) stats.Merge(client->Stats());

  std::vector<std::string> failures;
  if (died) failures.push_back("the server ended during the run");
  const std::optional<int> status = relay.Stop();
  if (!status) {
    failures.push_back("the server did not end within 5 s of SIGTERM");
  } else if (*status != 0) {
    failures.push_back("the server's exit status is " + std::to_string(*status));
  }
  const std::string errors = ReadWhole(relay.StderrPath());
  for (const char* report : {"ERROR: AddressSanitizer", "runtime error:", "LeakSanitizer"}) {
    if (errors.find(report) != std::string::npos) {
      failures.push_back(std::string("the server's standard error holds \"") + report + "\"");
    }
  }
  const std::string log = ReadWhole(relay.LogPath());
  if (const std::size_t fatal = CountOf(log, "EXCEPT:"); fatal > 0) {
    failures.push_back("the log holds " + std::to_string(fatal) + " EXCEPT: lines");
  }
  if (stats.loginFailures > 0) {
    failures.push_back(std::to_string(stats.loginFailures) + " logins were late or failed");
  }
  for (const std::string& problem : stats.problems) failures.push_back(problem);

  int checked = 0;
  std::vector<std::pair<std::string, std::string>> untouched;
  for (const SoakIdentity& identity : Identities()) {
    if (!identity.password.empty()) untouched.emplace_back(identity.name, identity.password);
  }
  for (const std::string& problem : CheckStoredAccounts(relay.PathOf(".usr"), relay.PathOf(".rank"),
                                                        model, untouched, checked)) {
    failures.push_back(problem);
  }
  if (model.InDoubt()) failures.push_back("an account edit is still in doubt at the end");

  PrintSummary(stats, model, seconds, checked);
  std::printf("  server exit status   %s\n",
              status ? std::to_string(*status).c_str() : "none (killed)");
  std::printf("  log lines            %zu\n", CountOf(log, "\n"));
  if (failures.empty()) {
    std::printf("\nbench_soak: every check passed\n");
    return 0;
  }
  std::printf("\nbench_soak: %zu check(s) failed:\n", failures.size());
  for (const std::string& failure : failures) std::printf("  - %s\n", failure.c_str());
  if (!errors.empty()) std::printf("\nthe server's standard error:\n%s\n", errors.c_str());
  folder.Keep();
  std::printf("the server's folder is kept: %s\n", folder.Path().c_str());
  return 1;
}

}  // namespace
}  // namespace kestrune::bench

int main(int argc, char** argv) {
  kestrune::bench::Options options;
  if (const int result = kestrune::bench::ParseOptions(argc, argv, options); result != 0) {
    return result;
  }
  return kestrune::bench::Run(options);
}
