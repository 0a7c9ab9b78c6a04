#include "platform/posix/file_replace.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace vaskel {
namespace {

int SystemOpen(const char* path, int flags, mode_t mode) {
  return ::open(path, flags, mode);
}

// The file a write through `path` lands in: the target of a symbolic link, else the path.
std::string ResolvedTarget(const std::string& path) {
  struct stat link_info {};
  if (::lstat(path.c_str(), &link_info) != 0 || !S_ISLNK(link_info.st_mode)) return path;
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

bool WriteAll(const FileCalls& calls, int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = calls.write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Makes the rename itself durable; the content is already safe, so this is best effort.
void SyncDirectoryOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const std::string dir = slash == std::string::npos ? "."
                          : slash == 0               ? "/"
                                                     : path.substr(0, slash);
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

const FileCalls& SystemFileCalls() {
  static const FileCalls calls{&SystemOpen, &::write, &::fsync, &::close, &::rename};
  return calls;
}

std::string ReplacementPath(const std::string& path) {
  return path + ".vaskel-new";
}

bool ReplaceFileContents(const std::string& path, std::string_view bytes, const FileCalls& calls) {
  const std::string target = ResolvedTarget(path);
  const std::string temp = ReplacementPath(target);
  mode_t mode = 0666;  // a new file: the process's umask decides, as for any new file
  struct stat original {};
  const bool exists = ::stat(target.c_str(), &original) == 0;
  if (exists) mode = original.st_mode & 07777;

  const int fd = calls.open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  // open() applies the umask; an existing profile keeps exactly its own bits.
  if (exists) ::fchmod(fd, mode);
  const bool written = WriteAll(calls, fd, bytes) && calls.fsync(fd) == 0;
  const bool closed = calls.close(fd) == 0;
  if (!written || !closed || calls.rename(temp.c_str(), target.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  SyncDirectoryOf(target);
  return true;
}

}  // namespace vaskel
