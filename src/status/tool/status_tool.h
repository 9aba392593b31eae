// The status query tool: asks servers for their status and prints the replies.
#pragma once

#include <cstdio>

namespace kestrune {

class StatusPacket;

// Exit codes of the tool.
enum StatusToolExit : int {
  kToolDone = 0,            // every target was queried
  kToolUsage = 1,           // help shown or an unknown option
  kToolTargetOrSocket = 3,  // a target could not be parsed or resolved, or no socket
  kToolMissingSetting = 4,  // bad -c value, no command code or no target
  kToolBadRequest = 5,      // bad -a value, a command code other than 1 or 2, no request
};

// Runs the tool over its command line; everything goes to standard output.
int RunStatusTool(int argc, char** argv);

// Prints what one query got back: the reply's text, or the error line for no
// answer (nullptr) or an answer of another type.
void PrintStatusAnswer(const StatusPacket* answer, std::FILE* out);

}  // namespace kestrune
