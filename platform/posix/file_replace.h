#pragma once
// Replaces a file's whole content in one step, so that a save cut short (full disk, crash,
// power loss) never leaves a half-written file: the bytes go to a temporary file beside the
// original, are flushed to disk, and the temporary file is renamed over the original.
#include <sys/types.h>

#include <string>
#include <string_view>

namespace vaskel {

// The system calls of a replacement, one field each, so tests can make any of them fail.
struct FileCalls {
  int (*open)(const char* path, int flags, mode_t mode);
  ssize_t (*write)(int fd, const void* data, size_t size);
  int (*fsync)(int fd);
  int (*close)(int fd);
  int (*rename)(const char* from, const char* to);
};

const FileCalls& SystemFileCalls();

// The temporary file a replacement of `path` writes first.
std::string ReplacementPath(const std::string& path);

// True once `bytes` are the file's content. On false the original is as it was (or still
// absent) and no temporary file is left. A symbolic link keeps pointing at its target, and
// the target keeps its permission bits.
bool ReplaceFileContents(const std::string& path, std::string_view bytes,
                         const FileCalls& calls = SystemFileCalls());

}  // namespace vaskel
