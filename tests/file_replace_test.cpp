// A profile save replaces the file in one step: a save cut short at any point leaves the
// host's file byte for byte as it was.
#include "platform/posix/file_replace.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "plugin/profile_settings.h"
#include "profile_test_support.h"

namespace vaskel::testing {
namespace {

enum Step { kOpen, kWrite, kFsync, kClose, kRename, kNone };
Step g_fail_at = kNone;
bool g_short_write_done = false;

int FailingOpen(const char* path, int flags, mode_t mode) {
  if (g_fail_at == kOpen) return errno = EACCES, -1;
  return ::open(path, flags, mode);
}
ssize_t FailingWrite(int fd, const void* data, size_t size) {
  if (g_fail_at != kWrite) return ::write(fd, data, size);
  // The disk fills half way: part of the bytes land, then no more.
  if (g_short_write_done) return errno = ENOSPC, -1;
  g_short_write_done = true;
  return ::write(fd, data, size / 2);
}
int FailingFsync(int fd) {
  if (g_fail_at == kFsync) return errno = EIO, -1;
  return ::fsync(fd);
}
int FailingClose(int fd) {
  const int result = ::close(fd);
  if (g_fail_at == kClose) return errno = EIO, -1;
  return result;
}
int FailingRename(const char* from, const char* to) {
  if (g_fail_at == kRename) return errno = EXDEV, -1;
  return ::rename(from, to);
}
constexpr FileCalls kFailingCalls{&FailingOpen, &FailingWrite, &FailingFsync, &FailingClose,
                                  &FailingRename};

TEST(FileReplace, ASaveFailingAtAnyStepLeavesTheOriginalIntact) {
  TempDir dir;
  const std::string path = dir.File("profile.xml");
  const std::string original = "\xEF\xBB\xBF<?xml version=\"1.0\"?>\r\n<profile>\r\n</profile>\r\n";
  const std::string replacement(100000, 'x');
  for (Step step : {kOpen, kWrite, kFsync, kClose, kRename}) {
    SCOPED_TRACE(step);
    WriteText(path, original);
    g_fail_at = step;
    g_short_write_done = false;
    EXPECT_FALSE(ReplaceFileContents(path, replacement, kFailingCalls));
    EXPECT_EQ(ReadText(path), original);
    EXPECT_FALSE(std::filesystem::exists(ReplacementPath(path)));
  }
  g_fail_at = kNone;
  // A missing file stays missing when its first save fails.
  const std::string fresh = dir.File("fresh.xml");
  g_fail_at = kRename;
  EXPECT_FALSE(ReplaceFileContents(fresh, "<profile/>", kFailingCalls));
  EXPECT_FALSE(std::filesystem::exists(fresh));
  g_fail_at = kNone;
}

TEST(FileReplace, ReplacesTheContentKeepingModeAndSymbolicLink) {
  TempDir dir;
  const std::string target = dir.File("real.xml");
  const std::string link = dir.File("profile.xml");
  WriteText(target, "<old/>");
  ::chmod(target.c_str(), 0640);
  std::filesystem::create_symlink(target, link);
  ASSERT_TRUE(ReplaceFileContents(link, "<new/>"));
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(ReadText(target), "<new/>");
  struct stat info {};
  ASSERT_EQ(::stat(target.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_FALSE(std::filesystem::exists(ReplacementPath(target)));
}

// Through the plug-in: StopPlug cannot replace the profile, so the file keeps the host's
// bytes and the status line says the settings were not saved.
TEST(FileReplace, StopPlugThatCannotReplaceTheProfileLeavesItAndReports) {
  TempDir dir;
  const std::string path = dir.File("profile.xml");
  const std::string original = "<hostcfg>\n  <axes/>\n</hostcfg>\n";
  WriteText(path, original);
  ProfilePlugin plugin;
  plugin.Start(path);
  std::filesystem::create_directory(ReplacementPath(path));  // the temporary file can't be made
  plugin.ctx().settings().device_buffer = 500;
  plugin.ctx().StopPlug();
  EXPECT_EQ(ReadText(path), original);
  EXPECT_EQ(plugin.StatusText(), profile_settings::kSaveFailedText);
}

}  // namespace
}  // namespace vaskel::testing
