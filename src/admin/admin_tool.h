// kestrune_admin: digest, status and the online sub-commands.
#pragma once

namespace kestrune {

// Runs the tool over its command line; an AdminExit status. Results go to
// standard output, each error as one line on standard error.
int RunAdminTool(int argc, char** argv);

}  // namespace kestrune
