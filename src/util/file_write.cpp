#include "util/file_write.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>

namespace kestrune {

namespace {

constexpr int kMaxLinkHops = 40;

std::string DirectoryOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return "";
  return path.substr(0, slash + 1);
}

// Removes the temporary file unless something other than our file sits there.
void DiscardTemporary(const std::string& tmp) {
  struct stat st {};
  if (lstat(tmp.c_str(), &st) == 0 && S_ISREG(st.st_mode)) unlink(tmp.c_str());
}

bool WriteAll(const FileWriteCalls& calls, int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = calls.write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

std::string ResolveWriteTarget(const std::string& path) {
  std::string target = path;
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    char link[PATH_MAX];
    ssize_t n = readlink(target.c_str(), link, sizeof link - 1);
    if (n < 0) break;  // not a link (or missing): this is the file
    link[n] = '\0';
    target = link[0] == '/' ? std::string(link) : DirectoryOf(target) + link;
  }
  return target;
}

std::string TemporaryPathFor(const std::string& target) {
  return target + ".tmp";
}

const FileWriteCalls& SystemFileWriteCalls() {
  static const FileWriteCalls calls{
      [](int fd, const void* data, std::size_t size) { return ::write(fd, data, size); },
      [](int fd) { return ::fsync(fd); },
      [](const char* from, const char* to) { return std::rename(from, to); }};
  return calls;
}

int WriteFileAtomically(const std::string& path, std::string_view contents,
                        const FileWriteCalls& calls) {
  const std::string target = ResolveWriteTarget(path);
  const std::string tmp = TemporaryPathFor(target);

  mode_t mode = 0644;
  struct stat old {};
  bool hadOld = stat(target.c_str(), &old) == 0;
  if (hadOld) mode = old.st_mode & 07777;

  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    DiscardTemporary(tmp);
    return -1;
  }
  bool ok = WriteAll(calls, fd, contents);
  // Without an old file the usual umask rules apply to the new one.
  if (ok && !hadOld) {
    mode_t mask = umask(0);
    umask(mask);
    mode = 0644 & ~mask;
  }
  ok = ok && fchmod(fd, mode) == 0;
  ok = ok && calls.fsync(fd) == 0;
  ok = (close(fd) == 0) && ok;
  ok = ok && calls.rename(tmp.c_str(), target.c_str()) == 0;
  if (!ok) {
    DiscardTemporary(tmp);
    return -1;
  }
  // Make the rename itself durable.
  std::string dir = DirectoryOf(target);
  int dirFd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    calls.fsync(dirFd);
    close(dirFd);
  }
  return 0;
}

}  // namespace kestrune
