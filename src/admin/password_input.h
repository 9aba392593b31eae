// Where the tool's passwords come from: standard input (without echo on a
// terminal), a file, or the environment; never the command line.
#pragma once

#include <string>

namespace kestrune {

// Reads one line from descriptor `fd`. On a terminal, `prompt` goes to
// standard error and echo is off while the line is typed (restored after,
// also on SIGINT/SIGTERM). The line end is dropped. 0, or -1 when nothing
// could be read.
int ReadPasswordLine(int fd, const std::string& prompt, std::string& password);

// The first line of `path`, without its line end; 0 or -1.
int ReadPasswordFile(const std::string& path, std::string& password);

// The password from `path` when it is not empty, else from the environment
// variable `variable`; `given` tells whether either was there. 0, or -1 when
// the file cannot be read (`error` says why).
int FindPassword(const std::string& path, const char* variable, std::string& password, bool& given,
                 std::string& error);

}  // namespace kestrune
