// Whole-file rewrites that are never half-done: the new contents go to a
// temporary file beside the real one, are flushed to disk and renamed over it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace kestrune {

// The file that a write to `path` really replaces: a symbolic link is followed
// to its target so that the link survives the rename.
std::string ResolveWriteTarget(const std::string& path);

// The temporary file used for `target`: "<target>.tmp" in the same folder.
std::string TemporaryPathFor(const std::string& target);

// The system calls of a durable write that decide whether it is durable;
// tests replace them to watch their order or to make one fail.
struct FileWriteCalls {
  std::function<ssize_t(int fd, const void* data, std::size_t size)> write;
  std::function<int(int fd)> fsync;
  std::function<int(const char* from, const char* to)> rename;
};
// The real ones.
const FileWriteCalls& SystemFileWriteCalls();

// Writes `contents` to `path` durably, keeping the old file's permission
// bits. 0 on success; -1 on any failure, with the old file left untouched and
// the temporary file removed.
int WriteFileAtomically(const std::string& path, std::string_view contents,
                        const FileWriteCalls& calls = SystemFileWriteCalls());

}  // namespace kestrune
