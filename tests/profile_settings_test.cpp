// The buffer settings in the host's XML profile, driven through the plug-in's entry points.
#include <gtest/gtest.h>

#include "plugin/host_profile.h"
#include "plugin/profile_settings.h"
#include "profile_test_support.h"

namespace vaskel::testing {
namespace {

constexpr const char* kFullSection =
    "<BRENOK><VASKELBUFFER>350</VASKELBUFFER><JOGBUFFER>450</JOGBUFFER></BRENOK>";

class ProfileSettings : public ::testing::Test {
 protected:
  TempDir dir_;
  std::string path_ = dir_.File("profile.xml");
  ProfilePlugin plugin_;
};

TEST_F(ProfileSettings, ReadsBothKeysOfTheSection) {
  WriteText(path_, std::string("<profile>") + kFullSection + "</profile>\n");
  plugin_.SetProName(path_);
  EXPECT_EQ(plugin_.device_buffer(), 350);
  EXPECT_EQ(plugin_.jog_buffer(), 450);
  EXPECT_EQ(plugin_.ctx().settings().profile_file_name, path_);
}

TEST_F(ProfileSettings, KeyTextIsReadAsLeadingDecimalDigits) {
  const struct {
    const char* text;
    int32_t value;
  } cases[] = {
      {"350", 350},
      {" 42x", 42},
      {"-5", -5},
      {"abc", 0},
      {"+7", 7},
      {"\n\t 120 ms", 120},
      {"- 5", 0},
      {"99999999999", 2147483647},
      {"-99999999999", -2147483647 - 1},
      {"0042", 42},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseProfileInt(c.text), c.value);
  }
  // And through the file, out of range values untouched.
  WriteText(path_,
            "<profile><BRENOK><VASKELBUFFER> 42x</VASKELBUFFER><JOGBUFFER>-5</JOGBUFFER>"
            "</BRENOK></profile>\n");
  plugin_.SetProName(path_);
  EXPECT_EQ(plugin_.ctx().settings().device_buffer_read.read, 42);
  EXPECT_EQ(plugin_.ctx().settings().jog_buffer_read.read, -5);
  // What works is used as it stands; what cannot work gives way to the default.
  EXPECT_EQ(plugin_.device_buffer(), 42);
  EXPECT_EQ(plugin_.jog_buffer(), 200);
  WriteText(path_,
            "<profile><BRENOK><VASKELBUFFER>letters</VASKELBUFFER><JOGBUFFER>5000</JOGBUFFER>"
            "</BRENOK></profile>\n");
  plugin_.SetProName(path_);
  EXPECT_EQ(plugin_.ctx().settings().device_buffer_read.read, 0);
  EXPECT_EQ(plugin_.device_buffer(), 200);
  EXPECT_EQ(plugin_.jog_buffer(), 5000);
}

TEST_F(ProfileSettings, MissingFileIsCreatedWithAnEmptyProfileThenGetsTheSection) {
  plugin_.SetProName(path_);
  EXPECT_EQ(plugin_.device_buffer(), 200);
  EXPECT_EQ(plugin_.jog_buffer(), 200);
  EXPECT_EQ(ReadText(path_), "<profile/>\n");

  plugin_.Init();
  plugin_.ctx().StopPlug();
  EXPECT_EQ(ReadText(path_),
            "<profile><BRENOK><VASKELBUFFER>200</VASKELBUFFER><JOGBUFFER>200</JOGBUFFER>"
            "</BRENOK></profile>\n");
  EXPECT_EQ(plugin_.StatusText(), "");
}

TEST_F(ProfileSettings, SectionIsAddedUnderAForeignRootAtTheEndOnlyAtStopPlug) {
  const std::string original = "<hostcfg a=\"1\"><axes><x/></axes><misc>text</misc></hostcfg>\n";
  WriteText(path_, original);
  plugin_.Start(path_);
  EXPECT_EQ(plugin_.device_buffer(), 200);
  EXPECT_EQ(ReadText(path_), original);  // SetProName adds nothing
  plugin_.ctx().Config();
  EXPECT_EQ(ReadText(path_), original);

  plugin_.ctx().settings().device_buffer = 300;
  plugin_.ctx().settings().jog_buffer = -12;
  plugin_.ctx().StopPlug();
  EXPECT_EQ(ReadText(path_),
            "<hostcfg a=\"1\"><axes><x/></axes><misc>text</misc><BRENOK><VASKELBUFFER>300"
            "</VASKELBUFFER><JOGBUFFER>-12</JOGBUFFER></BRENOK></hostcfg>\n");
}

TEST_F(ProfileSettings, MissingKeyIsAppendedAfterTheOtherKeyOfTheSection) {
  WriteText(path_, "<profile><BRENOK><JOGBUFFER>500</JOGBUFFER></BRENOK><tail/></profile>\n");
  plugin_.Start(path_);
  EXPECT_EQ(plugin_.device_buffer(), 200);
  EXPECT_EQ(plugin_.jog_buffer(), 500);
  plugin_.ctx().StopPlug();
  EXPECT_EQ(ReadText(path_),
            "<profile><BRENOK><JOGBUFFER>500</JOGBUFFER><VASKELBUFFER>200</VASKELBUFFER>"
            "</BRENOK><tail/></profile>\n");
}

TEST_F(ProfileSettings, OnlyTheFirstOfTwoSectionsIsReadAndWritten) {
  WriteText(path_,
            "<profile><BRENOK><VASKELBUFFER>150</VASKELBUFFER></BRENOK>"
            "<BRENOK><VASKELBUFFER>900</VASKELBUFFER><JOGBUFFER>900</JOGBUFFER></BRENOK>"
            "</profile>\n");
  plugin_.Start(path_);
  EXPECT_EQ(plugin_.device_buffer(), 150);
  EXPECT_EQ(plugin_.jog_buffer(), 200);
  plugin_.ctx().settings().device_buffer = 160;
  plugin_.ctx().StopPlug();
  EXPECT_EQ(ReadText(path_),
            "<profile><BRENOK><VASKELBUFFER>160</VASKELBUFFER><JOGBUFFER>200</JOGBUFFER>"
            "</BRENOK><BRENOK><VASKELBUFFER>900</VASKELBUFFER><JOGBUFFER>900</JOGBUFFER>"
            "</BRENOK></profile>\n");
}

TEST_F(ProfileSettings, EmptyKeyIsRemovedBySetProNameAndItsSectionKept) {
  WriteText(path_,
            "<profile><BRENOK><VASKELBUFFER>300</VASKELBUFFER><JOGBUFFER></JOGBUFFER></BRENOK>"
            "<other><JOGBUFFER/></other></profile>\n");
  plugin_.ctx().settings().jog_buffer = 777;
  plugin_.SetProName(path_);
  EXPECT_EQ(plugin_.device_buffer(), 300);
  EXPECT_EQ(plugin_.jog_buffer(), 200);
  EXPECT_EQ(ReadText(path_),
            "<profile><BRENOK><VASKELBUFFER>300</VASKELBUFFER></BRENOK>"
            "<other><JOGBUFFER/></other></profile>\n");

  // A section emptied this way stays, also when it had only the one key.
  WriteText(path_, "<profile><BRENOK><JOGBUFFER>  </JOGBUFFER></BRENOK></profile>\n");
  plugin_.SetProName(path_);
  EXPECT_EQ(plugin_.jog_buffer(), 200);
  EXPECT_EQ(ReadText(path_), "<profile><BRENOK/></profile>\n");
}

TEST_F(ProfileSettings, RewrittenKeyLosesWhateverItHeld) {
  WriteText(path_,
            "<profile><BRENOK><VASKELBUFFER>1<!--c-->2<b>3</b></VASKELBUFFER></BRENOK>"
            "</profile>\n");
  plugin_.Start(path_);
  EXPECT_EQ(plugin_.device_buffer(), 123);  // text content across child elements
  plugin_.ctx().StopPlug();
  EXPECT_EQ(ReadText(path_),
            "<profile><BRENOK><VASKELBUFFER>123</VASKELBUFFER><JOGBUFFER>200</JOGBUFFER>"
            "</BRENOK></profile>\n");
}

TEST_F(ProfileSettings, HostContentSurvivesEverySave) {
  const std::string head =
      "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
      "<!-- host profile -->\r\n"
      "<?host-pi keep me?>\r\n"
      "<profile version=\"3\" name='a &amp; b'>\r\n"
      "  <!-- axes -->\r\n"
      "  <axis id=\"X\" steps=\"200\">\r\n"
      "    <pin inverted=\"1\"/>\r\n"
      "    <label>  spaced  text  </label>\r\n"
      "    <![CDATA[raw <data>]]>\r\n"
      "  </axis>\r\n"
      "  <?inner pi?>\r\n"
      "  <empty></empty>\r\n"
      "  <unicode>\xE4\xB8\xAD\xE6\x96\x87</unicode>\r\n";
  WriteText(path_, head + "</profile>\r\n<!-- trailer -->\r\n");
  plugin_.Start(path_);
  plugin_.ctx().Config();
  plugin_.ctx().StopPlug();
  const std::string expected =
      "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
      "<!-- host profile -->\r\n"
      "<?host-pi keep me?>\r\n"
      "<profile version=\"3\" name=\"a &amp; b\">\r\n"
      "  <!-- axes -->\r\n"
      "  <axis id=\"X\" steps=\"200\">\r\n"
      "    <pin inverted=\"1\"/>\r\n"
      "    <label>  spaced  text  </label>\r\n"
      "    <![CDATA[raw <data>]]>\r\n"
      "  </axis>\r\n"
      "  <?inner pi?>\r\n"
      "  <empty/>\r\n"
      "  <unicode>\xE4\xB8\xAD\xE6\x96\x87</unicode>\r\n"
      "<BRENOK><VASKELBUFFER>200</VASKELBUFFER><JOGBUFFER>200</JOGBUFFER></BRENOK>"
      "</profile>\r\n<!-- trailer -->\r\n";
  EXPECT_EQ(ReadText(path_), expected);
}

TEST_F(ProfileSettings, DoctypeIsKept) {
  WriteText(path_, "<!DOCTYPE profile [<!ELEMENT profile ANY>]>\n<profile/>\n");
  plugin_.Start(path_);
  plugin_.ctx().StopPlug();
  EXPECT_EQ(ReadText(path_),
            "<!DOCTYPE profile [<!ELEMENT profile ANY>]>\n<profile><BRENOK><VASKELBUFFER>200"
            "</VASKELBUFFER><JOGBUFFER>200</JOGBUFFER></BRENOK></profile>\n");
}

// A file that is there but cannot be parsed belongs to the host: no step may write over it.
TEST_F(ProfileSettings, MalformedFileIsNeverWritten) {
  const std::string bad_files[] = {
      "<profile><BRENOK><VASKELBUFFER>350</VASKELBUFFER></BRENOK>",  // cut short
      "<profile><a></b></profile>",
      "not xml at all",
      "<?xml version=\"1.0\"?>\n<!-- nothing else -->\n",
      "",
      std::string("<profile>\0</profile>", 20),
  };
  for (const std::string& bad : bad_files) {
    SCOPED_TRACE(bad);
    ProfilePlugin plugin;
    WriteText(path_, bad);
    plugin.ctx().settings().device_buffer = 123;
    plugin.Start(path_);
    EXPECT_EQ(plugin.device_buffer(), 200);
    EXPECT_EQ(plugin.jog_buffer(), 200);
    EXPECT_EQ(ReadText(path_), bad);
    EXPECT_EQ(plugin.StatusText(), "");  // no status line yet at SetProName

    plugin.ctx().Config();
    EXPECT_EQ(ReadText(path_), bad);
    EXPECT_EQ(plugin.StatusText(), profile_settings::kUnreadableText);

    plugin.ctx().settings().device_buffer = 400;
    plugin.ctx().StopPlug();
    EXPECT_EQ(ReadText(path_), bad);
  }
}

TEST_F(ProfileSettings, UnreadablePathIsLeftAloneAndReported) {
  // A directory is there but cannot be read as a file (permissions do not stop root).
  const std::string path = dir_.File("profile_dir");
  std::filesystem::create_directory(path);
  plugin_.Start(path);
  EXPECT_EQ(plugin_.device_buffer(), 200);
  plugin_.ctx().StopPlug();
  EXPECT_TRUE(std::filesystem::is_directory(path));
  EXPECT_TRUE(std::filesystem::is_empty(path));
  EXPECT_EQ(plugin_.StatusText(), profile_settings::kUnreadableText);
}

TEST_F(ProfileSettings, FailedSaveKeepsTheSettingsAndIsReported) {
  const std::string path = dir_.File("no_such_dir/profile.xml");
  plugin_.Start(path);
  EXPECT_EQ(plugin_.device_buffer(), 200);
  plugin_.ctx().settings().jog_buffer = 600;
  plugin_.ctx().StopPlug();
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(plugin_.jog_buffer(), 600);
  EXPECT_EQ(plugin_.StatusText(), profile_settings::kSaveFailedText);
}

TEST_F(ProfileSettings, NoDocumentLeavesDefaultsAndTouchesNothing) {
  WriteText(path_, std::string("<profile>") + kFullSection + "</profile>\n");
  const std::string original = ReadText(path_);
  plugin_.platform().profile_factory_ = nullptr;
  plugin_.Start(path_);
  EXPECT_EQ(plugin_.device_buffer(), 200);
  EXPECT_EQ(plugin_.jog_buffer(), 200);
  plugin_.ctx().Config();
  EXPECT_EQ(plugin_.StatusText(), profile_settings::kNoDocumentText);
  plugin_.ctx().StopPlug();
  EXPECT_EQ(ReadText(path_), original);
}

TEST_F(ProfileSettings, StoreThenLoadRoundTripsEveryInt32) {
  for (int32_t value : {100, 1000, 0, -1, 2147483647, -2147483647 - 1}) {
    SCOPED_TRACE(value);
    {
      ProfilePlugin writer;
      writer.Start(path_);
      writer.ctx().settings().device_buffer = value;
      writer.ctx().settings().jog_buffer = value;
      writer.ctx().StopPlug();
    }
    ProfilePlugin reader;
    reader.SetProName(path_);
    EXPECT_EQ(reader.ctx().settings().device_buffer_read.read, value);
    EXPECT_EQ(reader.ctx().settings().jog_buffer_read.read, value);
  }
}

}  // namespace
}  // namespace vaskel::testing

namespace vaskel::testing {
namespace {

TEST(HostProfileTest, KeyLookupNeverCreatesAndCreationIsIdempotent) {
  TempDir dir;
  const std::string path = dir.File("p.xml");
  WriteText(path, "<profile><BRENOK/></profile>\n");
  TestPlatform platform;
  platform.profile_factory_ = [] { return NewPugixmlProfileDocument(); };
  HostProfile profile = HostProfile::Open(platform, path);
  ASSERT_EQ(profile.state(), HostProfile::State::Loaded);
  EXPECT_FALSE(profile.FindKeyNode("BRENOK", "JOGBUFFER"));
  EXPECT_FALSE(profile.FindKeyNode("OTHER", "JOGBUFFER"));
  EXPECT_TRUE(profile.WriteProfileInt("BRENOK", "JOGBUFFER", 1));
  EXPECT_TRUE(profile.WriteProfileInt("BRENOK", "JOGBUFFER", 2));
  EXPECT_EQ(profile.ReadProfileInt("BRENOK", "JOGBUFFER", 9), 2);
  EXPECT_TRUE(profile.Close());
  EXPECT_EQ(ReadText(path), "<profile><BRENOK><JOGBUFFER>2</JOGBUFFER></BRENOK></profile>\n");

  // A closed profile reads defaults, writes nothing and closes again harmlessly.
  EXPECT_EQ(profile.ReadProfileInt("BRENOK", "JOGBUFFER", 9), 9);
  EXPECT_FALSE(profile.WriteProfileInt("BRENOK", "JOGBUFFER", 3));
  EXPECT_TRUE(profile.Close());
  EXPECT_EQ(ReadText(path), "<profile><BRENOK><JOGBUFFER>2</JOGBUFFER></BRENOK></profile>\n");
}

}  // namespace
}  // namespace vaskel::testing
