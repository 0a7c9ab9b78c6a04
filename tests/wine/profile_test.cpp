// The two buffer settings in the host's XML profile, through the platform's XML DOM document.
#include <windows.h>

#include <string>

#include "file_text.h"
#include "harness.h"
#include "sim/plugin_loader.h"
#include "sim/substitute_host.h"
#include "wine_support.h"

namespace {

using wine_tests::CompactXml;

// Runs SetProName .. StopPlug on the profile file and returns its text after each step.
struct ProfileRun {
  std::string after_start;
  std::string after_stop;
  std::string status_after_stop;
};

ProfileRun RunOnProfile(const std::string& path) {
  ProfileRun run;
  vaskel::sim::LoadedPlugin library;
  std::string error;
  REQUIRE(library.Load(wine_tests::PluginPath(), &error));
  vaskel::sim::SubstituteHost host(library.api());
  host.Start(path);
  wine_tests::ReadTextFile(path, &run.after_start);
  host.Stop();
  run.status_after_stop = host.StatusText();
  wine_tests::ReadTextFile(path, &run.after_stop);
  return run;
}

std::string Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos ? part : text;
}

WINE_TEST(ProfileKeepsTheHostsContentAndWritesBothSettingsBack) {
  const std::string path = wine_tests::ScratchDir() + "host-profile.xml";
  REQUIRE(wine_tests::WriteTextFile(
      path,
      "<?xml version=\"1.0\"?>\r\n<hostprofile>\r\n  <Other a=\"1\">keep</Other>\r\n"
      "  <BRENOK>\r\n    <VASKELBUFFER>350</VASKELBUFFER>\r\n    <JOGBUFFER> 142x</JOGBUFFER>\r\n"
      "  </BRENOK>\r\n</hostprofile>\r\n"));
  const ProfileRun run = RunOnProfile(path);
  const std::string saved = CompactXml(run.after_stop);
  CHECK_EQ(Contains(saved, "<hostprofile><Other a=\"1\">keep</Other><BRENOK>"),
           std::string("<hostprofile><Other a=\"1\">keep</Other><BRENOK>"));
  // " 142x" read as 142, and written back as a plain number.
  const std::string section =
      "<BRENOK><VASKELBUFFER>350</VASKELBUFFER><JOGBUFFER>142</JOGBUFFER></BRENOK></hostprofile>";
  CHECK_EQ(Contains(saved, section), section);
  DeleteFileA(path.c_str());
}

WINE_TEST(MissingProfileIsCreatedAndGetsTheDefaults) {
  const std::string path = wine_tests::ScratchDir() + "new-profile.xml";
  DeleteFileA(path.c_str());
  const ProfileRun run = RunOnProfile(path);
  const std::string created = CompactXml(run.after_start);
  CHECK(created == "<profile/>" || created == "<profile></profile>");
  const std::string section =
      "<profile><BRENOK><VASKELBUFFER>200</VASKELBUFFER><JOGBUFFER>200</JOGBUFFER></BRENOK>"
      "</profile>";
  CHECK_EQ(Contains(CompactXml(run.after_stop), section), section);
  DeleteFileA(path.c_str());
}

WINE_TEST(EmptyKeyIsDroppedAtLoadAndTheDefaultWrittenAtStop) {
  const std::string path = wine_tests::ScratchDir() + "empty-key.xml";
  REQUIRE(wine_tests::WriteTextFile(
      path,
      "<profile><BRENOK><JOGBUFFER></JOGBUFFER><VASKELBUFFER>1500</VASKELBUFFER>"
      "</BRENOK></profile>"));
  const ProfileRun run = RunOnProfile(path);
  CHECK(run.after_start.find("JOGBUFFER") == std::string::npos);
  const std::string section =
      "<BRENOK><VASKELBUFFER>1500</VASKELBUFFER><JOGBUFFER>200</JOGBUFFER></BRENOK>";
  CHECK_EQ(Contains(CompactXml(run.after_stop), section), section);
  DeleteFileA(path.c_str());
}

WINE_TEST(MalformedProfileIsLeftAloneAndTheUserIsTold) {
  const std::string path = wine_tests::ScratchDir() + "broken-profile.xml";
  const std::string broken = "<profile><BRENOK><VASKELBUFFER>300</VASKELBUFFER>";
  REQUIRE(wine_tests::WriteTextFile(path, broken));
  const ProfileRun run = RunOnProfile(path);
  CHECK_EQ(run.after_start, broken);
  CHECK_EQ(run.after_stop, broken);
  CHECK_EQ(run.status_after_stop,
           std::string("Profile can't be read, vaskel settings are not saved to it!"));
  DeleteFileA(path.c_str());
}

// A save that cannot finish leaves the host's profile byte for byte as it was: first the file
// beside it cannot be made, then the replace itself is refused (the host holds the profile
// open without sharing its deletion).
WINE_TEST(ProfileSaveThatCannotReplaceTheFileLeavesItIntact) {
  const std::string path = wine_tests::ScratchDir() + "guarded-profile.xml";
  const std::string beside = path + ".vaskel-new";
  const std::string original =
      "<?xml version=\"1.0\"?>\r\n<hostprofile>\r\n  <Other>keep</Other>\r\n</hostprofile>\r\n";
  REQUIRE(wine_tests::WriteTextFile(path, original));
  REQUIRE(CreateDirectoryA(beside.c_str(), nullptr));
  const ProfileRun blocked = RunOnProfile(path);
  CHECK_EQ(blocked.after_start, original);
  CHECK_EQ(blocked.after_stop, original);
  CHECK_EQ(blocked.status_after_stop,
           std::string("Profile can't be written, vaskel settings are not saved!"));
  RemoveDirectoryA(beside.c_str());

  vaskel::sim::LoadedPlugin library;
  std::string error;
  REQUIRE(library.Load(wine_tests::PluginPath(), &error));
  vaskel::sim::SubstituteHost host(library.api());
  host.Start(path);
  std::string before_stop;
  CHECK(wine_tests::ReadTextFile(path, &before_stop));
  HANDLE held = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  REQUIRE(held != INVALID_HANDLE_VALUE);
  host.Stop();
  CloseHandle(held);
  std::string after_stop;
  CHECK(wine_tests::ReadTextFile(path, &after_stop));
  CHECK_EQ(after_stop, before_stop);
  CHECK(after_stop.find("BRENOK") == std::string::npos);
  CHECK_EQ(host.StatusText(),
           std::string("Profile can't be written, vaskel settings are not saved!"));
  CHECK_EQ(GetFileAttributesA(beside.c_str()), INVALID_FILE_ATTRIBUTES);
  DeleteFileA(path.c_str());
}

}  // namespace
