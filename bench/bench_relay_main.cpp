// bench_relay: the voice relay of kestrune_srv under load, side by side with
// the bare fan-out relay on the same load. See --help.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "bench/relay_load.h"
#include "bench/relay_processes.h"

namespace kestrune::bench {
namespace {

constexpr const char* kUsage = R"(Usage: bench_relay [options]

Starts kestrune_srv on a free loopback port in a temporary folder, logs in
talkers and listeners as guests (all in the lobby), has every talker send
MSG_VOICE data (start, data packets at a fixed rate, stop) for a while, and
measures what the clients receive. Then runs the same load against a bare
fan-out relay (a child process that copies each length-prefixed frame to every
other client, with no handshake, scrambling or checks) and prints both side by
side with their ratios (server / bare).

Reported per run: delivered copies per second, lost copies, latency from send
to receipt (p50, p99, max; every data packet carries its send time), and the
relay's CPU time per delivered copy (/proc/<pid>/schedstat, read before and
after the measured interval). Every client receives the others' packets.

Scenarios:
  --scenario light   8 clients all talking, 50 packets/s each, 300 data bytes
                     (the default; "a" works too)
  --scenario heavy   8 talkers at 1000 packets/s each, 300 data bytes ("b")
  --scenario slow    7 talkers at 50 packets/s and 1 listener that stops
                     reading, with a small receive buffer; each relay runs
                     once with a normal reader and once with the slow one, and
                     the talkers' p99 of the two runs are compared ("c")
  --scenario all     the three in turn

Options:
  --seconds S        measured interval of each run (default 10)
  --warmup S         sending before the interval starts (default 1)
  --talkers N        override the scenario's talkers
  --listeners M      override the scenario's listeners (slow: the last one
                     is the slow reader)
  --rate R           data packets per second per talker
  --size B           voice data bytes per packet (at least 20)
  --codec C          voice codec the server is configured with and the
                     packets name (default 0, GSM 6.10)
  --format F         voice format within the codec (default 0, 8 kHz)
  --slow-rcvbuf B    SO_RCVBUF of the slow reader (default 4096)
  --server PATH      the kestrune_srv to start (default: next to this program)
  --repeat N         run each scenario N times, then print the medians (each
                     ratio: the median of the runs' own ratios)
  --only server|bare run one relay only (no ratios)
  --check            exit with 3 unless every run delivered packets with no
                     malformed or lost copy and no client closed by the relay
                     (the slow reader aside); performance is never checked
  --keep             keep the runs' temporary folders (settings and logs)
  --serve-bare PORT  only run the bare relay on 127.0.0.1:PORT (0: any free
                     port) until interrupted
  --help             this text

The server holds at most 8 clients. Use a Release build of the server for
real figures; absolute times drift between runs here, so compare the ratios.
)";

volatile std::sig_atomic_t stopRequested = 0;

void OnStop(int) {
  stopRequested = 1;
}

struct Scenario {
  std::string name;
  LoadOptions load;
  bool slow = false;
};

struct Settings {
  std::vector<std::string> scenarios = {"light"};
  std::optional<int> talkers;
  std::optional<int> listeners;
  std::optional<double> rate;
  std::optional<int> size;
  double seconds = 10;
  double warmup = 1;
  int codec = 0;
  int format = 0;
  int slowReceiveBuffer = 4096;
  std::string server;
  bool runServer = true;
  bool runBare = true;
  int repeat = 1;
  bool check = false;
  bool keep = false;
};

bool ParseNumber(const char* text, double& out) {
  char* end = nullptr;
  errno = 0;
  out = std::strtod(text, &end);
  return errno == 0 && end != text && *end == '\0';
}

bool ParseInt(const char* text, int& out) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < INT_MIN || value > INT_MAX) return false;
  out = static_cast<int>(value);
  return true;
}

std::string Fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::optional<LoadResult> RunOnce(const Settings& settings, bool server, const LoadOptions& base) {
  TempFolder folder;
  if (!folder.Ok()) {
    std::fprintf(stderr, "bench_relay: cannot make a temporary folder\n");
    return std::nullopt;
  }
  if (settings.keep) folder.Keep();
  LoadOptions load = base;
  load.wire = server ? Wire::kServer : Wire::kRaw;
  std::string error;
  LoadResult result;
  if (server) {
    ServerRelay relay;
    ServerOptions options;
    options.program = settings.server;
    options.voiceCodec = load.voiceCodec;
    options.voiceFormat = load.voiceFormat;
    if (!relay.Start(folder.Path(), options, error)) {
      std::fprintf(stderr, "bench_relay: %s\n", error.c_str());
      return std::nullopt;
    }
    result = RunLoad(relay, load, stopRequested);
    relay.Stop();
  } else {
    BareRelayProcess relay;
    if (!relay.Start(folder.Path(), error)) {
      std::fprintf(stderr, "bench_relay: %s\n", error.c_str());
      return std::nullopt;
    }
    result = RunLoad(relay, load, stopRequested);
    relay.Stop();
  }
  if (settings.keep)
    std::printf("  (%s run kept in %s)\n", server ? "server" : "bare", folder.Path().c_str());
  if (!result.error.empty()) {
    std::fprintf(stderr, "bench_relay: %s run: %s\n", server ? "server" : "bare",
                 result.error.c_str());
    return std::nullopt;
  }
  return result;
}

// One line of a table: a value per run (column), and optionally the ratio
// of two columns.
struct Row {
  std::string label;
  int decimals = 1;
  double (*get)(const LoadResult&) = nullptr;
  bool ratio = false;
};

const std::vector<Row>& Rows() {
  static const std::vector<Row> rows = {
      {"delivered/s", 1, [](const LoadResult& r) { return r.DeliveredPerSecond(); }, false},
      {"lost copies", 0, [](const LoadResult& r) { return double(r.Lost()); }, false},
      {"loss (%)", 2, [](const LoadResult& r) { return r.LossPercent(); }, false},
      {"latency p50 (us)", 1, [](const LoadResult& r) { return r.p50Us; }, true},
      {"latency p99 (us)", 1, [](const LoadResult& r) { return r.p99Us; }, true},
      {"latency max (us)", 1, [](const LoadResult& r) { return r.maxUs; }, true},
      {"talkers' p99 (us)", 1, [](const LoadResult& r) { return r.talkersP99Us; }, true},
      {"CPU per delivered (ns)", 0, [](const LoadResult& r) { return r.CpuNsPerDelivered(); },
       true},
      {"relay CPU (% of a core)", 1, [](const LoadResult& r) { return r.CpuPercent(); }, false},
      {"bench CPU (% of a core)", 1, [](const LoadResult& r) { return r.ClientCpuPercent(); },
       false},
  };
  return rows;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double RatioOf(double numerator, double denominator) {
  return denominator > 0 ? numerator / denominator : 0;
}

std::string RatioText(double ratio) {
  return ratio > 0 ? Fixed(ratio, 2) : "-";
}

void PrintCells(const std::string& label, const std::vector<std::string>& cells,
                const std::string& ratio) {
  std::printf("  %-26s", label.c_str());
  for (const auto& cell : cells) std::printf(" %14s", cell.c_str());
  if (!ratio.empty()) std::printf(" %12s", ratio.c_str());
  std::printf("\n");
}

// The runs of one scenario, one repetition after the other: runs[r][column].
struct ScenarioRuns {
  std::vector<std::string> columns;
  std::vector<std::vector<LoadResult>> runs;
  bool slow = false;
};

// The ratios a scenario reports, for one repetition.
std::vector<std::pair<std::string, double>> Ratios(const ScenarioRuns& all,
                                                   const std::vector<LoadResult>& runs) {
  std::vector<std::pair<std::string, double>> ratios;
  auto column = [&](const std::string& name) -> const LoadResult* {
    for (std::size_t i = 0; i < all.columns.size(); ++i) {
      if (all.columns[i] == name) return &runs[i];
    }
    return nullptr;
  };
  if (!all.slow) {
    const LoadResult* server = column("server");
    const LoadResult* bare = column("bare");
    if (server != nullptr && bare != nullptr) {
      ratios.push_back({"CPU per delivered, server / bare",
                        RatioOf(server->CpuNsPerDelivered(), bare->CpuNsPerDelivered())});
      ratios.push_back({"p99, server / bare", RatioOf(server->p99Us, bare->p99Us)});
    }
    return ratios;
  }
  for (const std::string relay : {"server", "bare"}) {
    const LoadResult* normal = column(relay + " normal");
    const LoadResult* slow = column(relay + " slow");
    if (normal != nullptr && slow != nullptr) {
      ratios.push_back({"talkers' p99 " + relay + ", slow / normal reader",
                        RatioOf(slow->talkersP99Us, normal->talkersP99Us)});
    }
  }
  for (const std::string reader : {"normal", "slow"}) {
    const LoadResult* server = column("server " + reader);
    const LoadResult* bare = column("bare " + reader);
    if (server != nullptr && bare != nullptr) {
      ratios.push_back({"talkers' p99 " + reader + " reader, server / bare",
                        RatioOf(server->talkersP99Us, bare->talkersP99Us)});
      ratios.push_back({"CPU per delivered " + reader + " reader, server / bare",
                        RatioOf(server->CpuNsPerDelivered(), bare->CpuNsPerDelivered())});
    }
  }
  return ratios;
}

// With two columns server and bare, each row also shows server / bare.
bool PairTable(const ScenarioRuns& all) {
  return !all.slow && all.columns.size() == 2;
}

void PrintRun(const ScenarioRuns& all, const std::vector<LoadResult>& runs) {
  const bool pair = PairTable(all);
  PrintCells("", all.columns, pair ? "server/bare" : "");
  for (const Row& row : Rows()) {
    std::vector<std::string> cells;
    for (const auto& run : runs) cells.push_back(Fixed(row.get(run), row.decimals));
    const std::string ratio =
        pair && row.ratio ? RatioText(RatioOf(row.get(runs[0]), row.get(runs[1]))) : "";
    PrintCells(row.label, cells, ratio);
  }
  std::vector<std::string> counts;
  std::vector<std::string> faults;
  for (const auto& run : runs) {
    counts.push_back(std::to_string(run.sent) + "/" + std::to_string(run.expected));
    faults.push_back(std::to_string(run.malformed) + "/" + std::to_string(run.unexpectedCloses) +
                     "/" + std::to_string(run.sendStalls));
  }
  PrintCells("sent / due copies", counts, "");
  PrintCells("malformed/closed/stalls", faults, "");
  for (std::size_t i = 0; i < runs.size(); ++i) {
    if (all.columns[i].find("slow") == std::string::npos) continue;
    std::printf("  %s: slow reader %s", all.columns[i].c_str(),
                runs[i].slowCutOff ? "cut off" : "NOT cut off");
    if (runs[i].slowCutOffAfter >= 0) {
      std::printf(" (logged %.1f s after it stopped reading)", runs[i].slowCutOffAfter);
    }
    std::printf("\n");
  }
  for (const auto& [label, value] : Ratios(all, runs)) {
    std::printf("  %-50s %s\n", label.c_str(), RatioText(value).c_str());
  }
}

// Each cell the median over the repetitions; each ratio the median of the
// repetitions' own ratios (both relays of a ratio ran in the same repetition).
void PrintMedians(const ScenarioRuns& all) {
  const bool pair = PairTable(all);
  PrintCells("", all.columns, pair ? "server/bare" : "");
  for (const Row& row : Rows()) {
    std::vector<std::string> cells;
    for (std::size_t column = 0; column < all.columns.size(); ++column) {
      std::vector<double> values;
      for (const auto& runs : all.runs) values.push_back(row.get(runs[column]));
      cells.push_back(Fixed(Median(values), row.decimals));
    }
    std::string ratio;
    if (pair && row.ratio) {
      std::vector<double> values;
      for (const auto& runs : all.runs)
        values.push_back(RatioOf(row.get(runs[0]), row.get(runs[1])));
      ratio = RatioText(Median(values));
    }
    PrintCells(row.label, cells, ratio);
  }
  const auto first = Ratios(all, all.runs[0]);
  for (std::size_t i = 0; i < first.size(); ++i) {
    std::vector<double> values;
    for (const auto& runs : all.runs) values.push_back(Ratios(all, runs)[i].second);
    std::printf("  %-50s %s\n", first[i].first.c_str(), RatioText(Median(values)).c_str());
  }
}

bool RunOk(const LoadResult& result) {
  return result.delivered > 0 && result.malformed == 0 && result.Lost() == 0 &&
         result.unexpectedCloses == 0;
}

// Runs one scenario `repeat` times; false when a run could not be made. A run
// that does not pass --check sets `checkFailed`.
bool RunScenario(const Settings& settings, const Scenario& scenario, bool& checkFailed) {
  const LoadOptions& load = scenario.load;
  std::printf(
      "%s: %d talkers, %d listeners%s, %g packets/s each, %d data bytes, %g s (warm-up %g s)\n",
      scenario.name.c_str(), load.talkers, load.listeners,
      scenario.slow ? " (the last one a slow reader)" : "", load.rate, load.dataBytes, load.seconds,
      load.warmupSeconds);
  std::fflush(stdout);
  ScenarioRuns all;
  all.slow = scenario.slow;
  struct Column {
    std::string name;
    bool server;
    bool slowReader;
  };
  std::vector<Column> columns;
  for (bool server : {true, false}) {
    if (server ? !settings.runServer : !settings.runBare) continue;
    const std::string name = server ? "server" : "bare";
    if (scenario.slow) {
      columns.push_back({name + " normal", server, false});
      columns.push_back({name + " slow", server, true});
    } else {
      columns.push_back({name, server, false});
    }
  }
  for (const auto& column : columns) all.columns.push_back(column.name);
  for (int repetition = 1; repetition <= settings.repeat; ++repetition) {
    std::vector<LoadResult> runs;
    for (const auto& column : columns) {
      LoadOptions options = load;
      options.slowReader = column.slowReader;
      auto result = RunOnce(settings, column.server, options);
      if (!result) return false;
      if (settings.check && !RunOk(*result)) {
        std::fprintf(stderr, "bench_relay: %s run did not pass the check\n", column.name.c_str());
        checkFailed = true;
      }
      runs.push_back(*result);
    }
    if (settings.repeat > 1) std::printf(" run %d of %d\n", repetition, settings.repeat);
    PrintRun(all, runs);
    all.runs.push_back(std::move(runs));
    std::fflush(stdout);
  }
  if (settings.repeat > 1) {
    std::printf(" median of %d runs\n", settings.repeat);
    PrintMedians(all);
  }
  std::printf("\n");
  std::fflush(stdout);
  return true;
}

std::optional<Scenario> MakeScenario(const std::string& name, const Settings& settings) {
  Scenario scenario;
  LoadOptions& load = scenario.load;
  if (name == "light" || name == "a") {
    scenario.name = "light";
    load.talkers = 8;
    load.listeners = 0;
    load.rate = 50;
  } else if (name == "heavy" || name == "b") {
    scenario.name = "heavy";
    load.talkers = 8;
    load.listeners = 0;
    load.rate = 1000;
  } else if (name == "slow" || name == "c") {
    scenario.name = "slow";
    scenario.slow = true;
    load.talkers = 7;
    load.listeners = 1;
    load.rate = 50;
  } else {
    return std::nullopt;
  }
  load.dataBytes = 300;
  if (settings.talkers) load.talkers = *settings.talkers;
  if (settings.listeners) load.listeners = *settings.listeners;
  if (settings.rate) load.rate = *settings.rate;
  if (settings.size) load.dataBytes = *settings.size;
  load.seconds = settings.seconds;
  load.warmupSeconds = settings.warmup;
  load.voiceCodec = settings.codec;
  load.voiceFormat = settings.format;
  load.slowReceiveBuffer = settings.slowReceiveBuffer;
  return scenario;
}

int Usage(const char* problem) {
  std::fprintf(stderr, "bench_relay: %s (see --help)\n", problem);
  return 2;
}

int Main(int argc, char** argv) {
  Settings settings;
  bool scenarioGiven = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    auto needs = [&]() {
      if (value == nullptr) return false;
      ++i;
      return true;
    };
    double number = 0;
    int whole = 0;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--scenario") {
      if (!needs()) return Usage("--scenario needs a name");
      if (!scenarioGiven) settings.scenarios.clear();
      scenarioGiven = true;
      if (std::string(value) == "all") {
        settings.scenarios.insert(settings.scenarios.end(), {"light", "heavy", "slow"});
      } else {
        settings.scenarios.push_back(value);
      }
    } else if (arg == "--seconds" || arg == "--warmup" || arg == "--rate") {
      if (!needs() || !ParseNumber(value, number)) return Usage("a number is missing");
      if (arg == "--seconds") {
        if (number <= 0) return Usage("--seconds must be above 0");
        settings.seconds = number;
      } else if (arg == "--warmup") {
        if (number < 0) return Usage("--warmup must not be negative");
        settings.warmup = number;
      } else {
        if (number <= 0 || number > 100000)
          return Usage("--rate must be above 0 and at most 100000");
        settings.rate = number;
      }
    } else if (arg == "--talkers" || arg == "--listeners" || arg == "--size" || arg == "--codec" ||
               arg == "--format" || arg == "--slow-rcvbuf" || arg == "--repeat") {
      if (!needs() || !ParseInt(value, whole) || whole < 0) {
        return Usage("a whole number is missing");
      }
      if (arg == "--talkers") settings.talkers = whole;
      if (arg == "--listeners") settings.listeners = whole;
      if (arg == "--size") settings.size = whole;
      if (arg == "--codec") settings.codec = whole;
      if (arg == "--format") settings.format = whole;
      if (arg == "--slow-rcvbuf") settings.slowReceiveBuffer = whole;
      if (arg == "--repeat") {
        if (whole < 1) return Usage("--repeat must be at least 1");
        settings.repeat = whole;
      }
    } else if (arg == "--server") {
      if (!needs()) return Usage("--server needs a path");
      settings.server = value;
    } else if (arg == "--only") {
      if (!needs()) return Usage("--only needs server or bare");
      const std::string which = value;
      if (which != "server" && which != "bare") return Usage("--only takes server or bare");
      settings.runServer = which == "server";
      settings.runBare = which == "bare";
    } else if (arg == "--check") {
      settings.check = true;
    } else if (arg == "--keep") {
      settings.keep = true;
    } else if (arg == "--serve-bare") {
      if (!needs() || !ParseInt(value, whole) || whole < 0 || whole > 65535 || whole == 3784) {
        return Usage("--serve-bare needs a port (0 to 65535, not 3784)");
      }
      return ServeBareRelay(static_cast<std::uint16_t>(whole));
    } else {
      return Usage(("unknown argument " + arg).c_str());
    }
  }
  if (settings.server.empty()) settings.server = ProgramFolder() + "/kestrune_srv";

  std::vector<Scenario> scenarios;
  for (const auto& name : settings.scenarios) {
    auto scenario = MakeScenario(name, settings);
    if (!scenario) return Usage(("unknown scenario " + name).c_str());
    const LoadOptions& load = scenario->load;
    if (load.talkers < 1) return Usage("at least one talker is needed");
    if (scenario->slow && load.listeners < 1) return Usage("the slow scenario needs a listener");
    // Each client binds its own 127.0.0.x address, from .20 on.
    if (load.talkers + load.listeners > 200) return Usage("at most 200 clients");
    if (settings.runServer && load.talkers + load.listeners > 8) {
      return Usage("the server holds at most 8 clients");
    }
    if (load.dataBytes < 20 || load.dataBytes > 4000) {
      return Usage("--size must be 20 to 4000");
    }
    const int limit = VoiceDataLimit(load.voiceCodec, load.voiceFormat);
    if (limit < 0) return Usage("no such voice codec and format");
    if (settings.runServer && load.dataBytes > limit) {
      std::fprintf(stderr,
                   "bench_relay: warning: this format allows %d data bytes; the server drops "
                   "larger packets\n",
                   limit);
    }
    scenarios.push_back(*scenario);
  }

  struct sigaction action {};
  action.sa_handler = OnStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  if (settings.runServer) std::printf("server: %s\n", settings.server.c_str());
  bool checkFailed = false;
  for (const auto& scenario : scenarios) {
    if (stopRequested != 0) return 1;
    if (!RunScenario(settings, scenario, checkFailed)) return 1;
  }
  if (stopRequested != 0) return 1;
  return checkFailed ? 3 : 0;
}

}  // namespace
}  // namespace kestrune::bench

int main(int argc, char** argv) {
  return kestrune::bench::Main(argc, argv);
}
