// Whole-file rewrites that are never half-done: the new contents go to a
// temporary file beside the real one, are flushed to disk and renamed over it.
#pragma once

#include <string>
#include <string_view>

namespace kestrune {

// The file that a write to `path` really replaces: a symbolic link is followed
// to its target so that the link survives the rename.
std::string ResolveWriteTarget(const std::string& path);

// The temporary file used for `target`: "<target>.tmp" in the same folder.
std::string TemporaryPathFor(const std::string& target);

// Writes `contents` to `path` durably, keeping the old file's permission
// bits. 0 on success; -1 on any failure, with the old file left untouched and
// the temporary file removed.
int WriteFileAtomically(const std::string& path, std::string_view contents);

}  // namespace kestrune
