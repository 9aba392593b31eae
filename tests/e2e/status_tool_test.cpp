// Runs the built kestrune_status against stand-in responders on 127.0.0.1.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/support/status_responder.h"
#include "e2e/support/tool_process.h"

namespace kestrune {
namespace {

using test::RunTool;
using test::StatusResponder;
using test::ToolRun;

std::string Target(const StatusResponder& responder, const std::string& suffix = "") {
  return "127.0.0.1:" + std::to_string(responder.Port()) + suffix;
}

std::string RequestText(const StatusRequest& request) {
  return std::string(request.data.begin(), request.data.end());
}

const char kHelp[] =
    "kestrune_status: Version 3.0.0\n"
    "Asks Kestrune servers for their status over UDP and prints the replies.\n"
    "Options:\n"
    "  -a#     = Number of attempts to perform request. Default = 3.\n"
    "  -c#     = Command code. 1=General status, 2=Detail status.\n"
    "  -taddr  = Target address. Can be IP or HOSTNAME.\n"
    "  -?      = Show this list.\n\n"
    "Target address format examples. Format = address[:port[:password]]\n\n"
    "  -tstatus.example.org              = Assumes port 3784 and no password\n"
    "  -t127.0.0.1:4000                  = Assumes no password\n"
    "  -tstatus.example.org:3784:secret  = If you give password you need port\n";

TEST(StatusTool, MultiFragmentReplyIsPrintedByteForByte) {
  std::string text;
  for (int i = 0; i < 1500; ++i) text += static_cast<char>(1 + (i * 37) % 255);  // no NUL
  text += "\nEND\n";
  StatusResponder responder({kStatusReply, text + '\0'});
  const std::string password = "fifteen-chars!!";  // the longest accepted
  const ToolRun run = RunTool({"-c2", "-t" + Target(responder, ":" + password)});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, text);
  EXPECT_EQ(run.err, "");

  const std::vector<StatusRequest> requests = responder.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].type, kStatusDetailRequest);
  EXPECT_EQ(RequestText(requests[0]), password + '\0');
}

TEST(StatusTool, ReplyIsPrintedUpToItsFirstNulAndNeverPastItsLength) {
  struct Case {
    const char* name;
    int type;
    std::string data;
    std::string printed;
  };
  const std::vector<Case> cases = {
      {"NUL inside", kStatusReply, std::string("NAME: a\n\0HIDDEN\n", 16), "NAME: a\n"},
      {"no NUL at all", kStatusReply, "VERSION: 3.0.2\n", "VERSION: 3.0.2\n"},
      {"empty reply", kStatusReply, "", ""},
      {"another type", kStatusUpdateAnswer, std::string("NEWVER: 9\n\0", 11),
       "ERROR: Unknown response.\n"},
  };
  for (const Case& c : cases) {
    StatusResponder::Answer answer;
    answer.type = c.type;
    answer.data = c.data;
    StatusResponder responder(answer);
    const ToolRun run = RunTool({"-c1", "-t" + Target(responder)});
    EXPECT_EQ(run.exitCode, 0) << c.name;
    EXPECT_EQ(run.out, c.printed) << c.name;
  }
}

TEST(StatusTool, SeveralTargetsAreSeparatedByOneLine) {
  StatusResponder first({kStatusReply, std::string("one\n", 5)});
  StatusResponder second({kStatusReply, std::string("two\n", 5)});
  StatusResponder third({kStatusReply, std::string("three\n", 7)});
  // Pieces are trimmed, empty pieces skipped, and arguments without '-' ignored.
  const ToolRun run =
      RunTool({"-C1", "not-an-option", "-T " + Target(first) + " ,, " + Target(second, ":"),
               "-t" + Target(third, ":pw:with:colons")});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "one\n----------\ntwo\n----------\nthree\n");
  ASSERT_EQ(third.Requests().size(), 1u);
  EXPECT_EQ(third.Requests()[0].type, kStatusGeneralRequest);
  EXPECT_EQ(RequestText(third.Requests()[0]), std::string("pw:with:colons\0\0", 16));
  EXPECT_EQ(RequestText(first.Requests()[0]), std::string(16, '\0'));

  // One target prints no separator; -i binds the socket to a local address.
  const ToolRun single = RunTool({"-c1", "-i127.0.0.1", "-t" + Target(first)});
  EXPECT_EQ(single.exitCode, 0);
  EXPECT_EQ(single.out, "one\n");
}

TEST(StatusTool, SilentTargetReportsNoResponseAfterItsAttempts) {
  StatusResponder silent({kStatusReply, "", true});
  StatusResponder answering({kStatusReply, std::string("up\n", 4)});
  const ToolRun run = RunTool({"-a2", "-c1", "-t" + Target(silent) + "," + Target(answering)});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "ERROR: No response from server.\n----------\nup\n");
  EXPECT_GE(run.seconds, 1.8);
  EXPECT_LT(run.seconds, 5.0);
  const std::vector<StatusRequest> requests = silent.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_NE(requests[0].requestId, requests[1].requestId);
  EXPECT_NE(requests[0].requestId, 0);
}

TEST(StatusTool, HostNameGoesThroughTheResolver) {
  // Only with a hosts-file entry, so that no query leaves the machine.
  std::ifstream hosts("/etc/hosts");
  std::string line;
  bool listed = false;
  while (std::getline(hosts, line)) {
    std::istringstream words(line);
    std::string address, name;
    words >> address;
    while (address == "127.0.0.1" && words >> name) listed = listed || name == "localhost";
  }
  if (!listed) GTEST_SKIP() << "no localhost entry in /etc/hosts";
  StatusResponder responder({kStatusReply, std::string("local\n", 7)});
  const ToolRun run = RunTool({"-c1", "-tlocalhost:" + std::to_string(responder.Port())});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "local\n");
}

TEST(StatusTool, OptionErrorsGiveTheirMessageAndExitCode) {
  const std::string unresolvable = std::string(70, 'q') + ".invalid";
  struct Case {
    std::vector<std::string> arguments;
    std::string out;
    int exitCode;
  };
  const std::vector<Case> cases = {
      {{"-?"}, kHelp, 1},
      {{"-h"}, kHelp, 1},
      {{"-a5", "-c1", "-t127.0.0.1:9", "-?"}, kHelp, 1},
      {{"-H", "-x"}, kHelp, 1},
      {{"-c1", "-x7"}, "ERROR: Unknown command line option '-x7'.\n", 1},
      {{"-"}, "ERROR: Unknown command line option '-'.\n", 1},
      {{"-a0", "-c0"}, "ERROR: Illegal attempts option '-a0'.\n", 5},
      {{"-A-2"}, "ERROR: Illegal attempts option '-A-2'.\n", 5},
      {{"-c0"}, "ERROR: Illegal command code.\n", 4},
      {{"-cfoo", "-a0"}, "ERROR: Illegal command code.\n", 4},
      {{"-c1", "-t127.0.0.1:9:0123456789abcdef"},
       "ERROR: Password length too long. Max len = 15.\n",
       3},
      {{"-c1", "-t" + unresolvable + ":9"},
       "ERROR: Unable to resolve hostname '" + unresolvable + "'.\n",
       3},
      {{"-c1", "-t300.1.1.1"}, "ERROR: Unable to resolve hostname '300.1.1.1'.\n", 3},
      {{"-c1", "-t:9"}, "ERROR: Unable to resolve hostname ''.\n", 3},
      {{}, "ERROR: No command code specified.\n", 4},
      {{"-t127.0.0.1:9"}, "ERROR: No command code specified.\n", 4},
      {{"-c1"}, "ERROR: No targets specified.\n", 4},
      {{"-c2", "-t , ,"}, "ERROR: No targets specified.\n", 4},
      {{"-c3", "-t127.0.0.1:9"}, "ERROR: Invalid command code.\n", 5},
      // An empty port part is port 0: the send fails at once, and the run goes on.
      {{"-c1", "-a1", "-t127.0.0.1::pw"}, "ERROR: No response from server.\n", 0},
      {{"-C7", "-a1", "-t127.0.0.1:9"}, "ERROR: Invalid command code.\n", 5},
      // 192.0.2.1 (a documentation range) is no address of this machine.
      {{"-c1", "-i192.0.2.1", "-t127.0.0.1:9"},
       "ERROR: MainInit: bind() failed rc = -1, errno 99\n",
       3},
  };
  for (const Case& c : cases) {
    std::string shown;
    for (const std::string& a : c.arguments) shown += a + " ";
    const ToolRun run = RunTool(c.arguments);
    EXPECT_EQ(run.out, c.out) << shown;
    EXPECT_EQ(run.exitCode, c.exitCode) << shown;
    EXPECT_EQ(run.err, "") << shown;
    EXPECT_LT(run.seconds, 1.0) << shown;  // none of them waits for an answer
  }
}

}  // namespace
}  // namespace kestrune
