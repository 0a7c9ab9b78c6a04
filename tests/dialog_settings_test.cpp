// The buffer settings dialog: its entry checks and when it stores, driven through the plug-in.
#include <gtest/gtest.h>

#include "plugin/settings_dialog.h"
#include "plugin/settings_form.h"
#include "profile_test_support.h"

namespace vaskel::testing {
namespace {

constexpr int kDevice = DialogView::kDeviceBufferEdit;
constexpr int kJog = DialogView::kJogBufferEdit;
constexpr const char* kRange = "Please enter an integer between 100 and 1000.";
constexpr const char* kNotANumber = "Please enter a positive integer.";

class SettingsDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteText(path_,
              "<profile><BRENOK><VASKELBUFFER>300</VASKELBUFFER><JOGBUFFER>400</JOGBUFFER>"
              "</BRENOK></profile>\n");
    plugin_.Start(path_);
    view_ = plugin_.view();
    ASSERT_NE(view_, nullptr);
  }

  // Config, type both entries, click OK.
  void Enter(const std::string& device, const std::string& jog) {
    plugin_.ctx().Config();
    view_->Type(kDevice, device);
    view_->Type(kJog, jog);
    view_->ClearMessages();
    view_->Click(DialogView::kOk);
  }

  void ExpectOneMessage(const std::string& text, DialogView::Icon icon, int focus) {
    ASSERT_EQ(view_->messages().size(), 1u);
    EXPECT_EQ(view_->messages()[0].text, text);
    EXPECT_EQ(view_->messages()[0].icon, icon);
    EXPECT_EQ(view_->focus(), focus);
    EXPECT_EQ(view_->selection(), view_->ItemText(focus));
    EXPECT_TRUE(view_->visible());
  }

  void ExpectSettings(int32_t device, int32_t jog) {
    EXPECT_EQ(plugin_.device_buffer(), device);
    EXPECT_EQ(plugin_.jog_buffer(), jog);
  }

  TempDir dir_;
  std::string path_ = dir_.File("profile.xml");
  ProfilePlugin plugin_;
  HeadlessDialogView* view_ = nullptr;
};

TEST_F(SettingsDialogTest, CreatedHiddenAndShownByConfigWithTheSettings) {
  EXPECT_TRUE(view_->created());
  EXPECT_FALSE(view_->visible());
  plugin_.ctx().Config();
  EXPECT_TRUE(view_->visible());
  EXPECT_EQ(view_->ItemText(kDevice), "300");
  EXPECT_EQ(view_->ItemText(kJog), "400");
  EXPECT_TRUE(view_->messages().empty());
}

TEST_F(SettingsDialogTest, BoundsAreAcceptedAndStored) {
  Enter("100", "1000");
  EXPECT_TRUE(view_->messages().empty());
  EXPECT_FALSE(view_->visible());
  ExpectSettings(100, 1000);

  Enter("  150abc", "+999");  // digits up to the first other character
  EXPECT_TRUE(view_->messages().empty());
  ExpectSettings(150, 999);
}

TEST_F(SettingsDialogTest, OutOfRangeEntriesAreRefusedWithTheRangeMessage) {
  for (const char* entry : {"99", "1001", "-5", "0", "4294967296", "-4294967196", "-0"}) {
    SCOPED_TRACE(entry);
    Enter(entry, "500");
    ExpectOneMessage(kRange, DialogView::Icon::Exclamation, kDevice);
    ExpectSettings(300, 400);
  }
}

TEST_F(SettingsDialogTest, EntriesWithoutDigitsGetThePlainMessage) {
  for (const char* entry : {"", "   ", "abc", "-", "+x5", "ms200"}) {
    SCOPED_TRACE(entry);
    Enter(entry, "500");
    ExpectOneMessage(kNotANumber, DialogView::Icon::None, kDevice);
    ExpectSettings(300, 400);
  }
}

TEST_F(SettingsDialogTest, ValidFirstEntryWithBadSecondStoresNeither) {
  Enter("500", "1001");
  ExpectOneMessage(kRange, DialogView::Icon::Exclamation, kJog);
  ExpectSettings(300, 400);

  Enter("500", "x");
  ExpectOneMessage(kNotANumber, DialogView::Icon::None, kJog);
  ExpectSettings(300, 400);

  // Correcting the entry in the still open dialog stores both.
  view_->Type(kJog, "700");
  view_->ClearMessages();
  view_->Click(DialogView::kOk);
  EXPECT_TRUE(view_->messages().empty());
  ExpectSettings(500, 700);
}

TEST_F(SettingsDialogTest, OnlyTheFirstFailingEntryIsReported) {
  Enter("abc", "5");
  ExpectOneMessage(kNotANumber, DialogView::Icon::None, kDevice);
}

TEST_F(SettingsDialogTest, CancelStoresNothingAndConfigReloadsTheSettings) {
  plugin_.ctx().Config();
  view_->Type(kDevice, "800");
  view_->Type(kJog, "900");
  view_->Click(DialogView::kCancel);
  EXPECT_FALSE(view_->visible());
  ExpectSettings(300, 400);

  plugin_.ctx().Config();
  EXPECT_EQ(view_->ItemText(kDevice), "300");
  EXPECT_EQ(view_->ItemText(kJog), "400");

  // Config on a shown dialog also drops what was typed.
  view_->Type(kDevice, "800");
  plugin_.ctx().Config();
  EXPECT_EQ(view_->ItemText(kDevice), "300");
}

TEST_F(SettingsDialogTest, StoredOutOfRangeValueIsShownAsItIsAndRefusedOnOk) {
  plugin_.ctx().settings().device_buffer = 5000;
  plugin_.ctx().settings().jog_buffer = -5;
  plugin_.ctx().Config();
  EXPECT_TRUE(view_->messages().empty());
  EXPECT_EQ(view_->ItemText(kDevice), "5000");
  EXPECT_EQ(view_->ItemText(kJog), "-5");
  view_->Click(DialogView::kOk);
  ExpectOneMessage(kRange, DialogView::Icon::Exclamation, kDevice);
  ExpectSettings(5000, -5);
}

TEST_F(SettingsDialogTest, StoredSettingsReachTheProfileAtStopPlugOnly) {
  Enter("250", "260");
  EXPECT_EQ(ReadText(path_),
            "<profile><BRENOK><VASKELBUFFER>300</VASKELBUFFER><JOGBUFFER>400</JOGBUFFER>"
            "</BRENOK></profile>\n");
  plugin_.ctx().StopPlug();
  EXPECT_FALSE(plugin_.ctx().dialog().exists());
  EXPECT_EQ(ReadText(path_),
            "<profile><BRENOK><VASKELBUFFER>250</VASKELBUFFER><JOGBUFFER>260</JOGBUFFER>"
            "</BRENOK></profile>\n");
  plugin_.ctx().Config();  // after StopPlug: no dialog, nothing breaks
}

TEST(SettingsDialogWithoutView, ConfigOnlyTouchesTheProfile) {
  TempDir dir;
  ProfilePlugin plugin;
  plugin.platform().dialog_factory_ = nullptr;
  plugin.Start(dir.File("p.xml"));
  EXPECT_FALSE(plugin.ctx().dialog().exists());
  plugin.ctx().Config();
  EXPECT_EQ(ReadText(dir.File("p.xml")), "<profile/>\n");
}

TEST(SettingsFormScan, ReadsLikeAnUnsignedDecimalScan) {
  using settings_form::ScanUnsigned;
  EXPECT_EQ(ScanUnsigned("150"), 150u);
  EXPECT_EQ(ScanUnsigned("\t 150 ms"), 150u);
  EXPECT_EQ(ScanUnsigned("-5"), 4294967291u);
  EXPECT_EQ(ScanUnsigned("4294967295"), 4294967295u);
  EXPECT_EQ(ScanUnsigned("99999999999999999999999"), 4294967295u);
  EXPECT_EQ(ScanUnsigned(""), std::nullopt);
  EXPECT_EQ(ScanUnsigned("+"), std::nullopt);
  // Only the first 63 characters count.
  EXPECT_EQ(ScanUnsigned(std::string(62, ' ') + "7"), 7u);
  EXPECT_EQ(ScanUnsigned(std::string(63, ' ') + "7"), std::nullopt);
  EXPECT_EQ(settings_form::RangeMessage(), kRange);
}

// The host may call StopPlug from inside the message loop of an entry check's message box;
// the check then returns into a dialog whose window is gone, and must not touch freed memory
// (ASan) nor store anything.
TEST(SettingsDialogReentry, StopPlugWhileTheRangeMessageIsOpen) {
  class StoppingView : public HeadlessDialogView {
   public:
    std::function<void()> during_box;
    void ShowMessageBox(const std::string& text, Icon icon) override {
      if (during_box) during_box();
      HeadlessDialogView::ShowMessageBox(text, icon);
    }
  };
  TempDir dir;
  const std::string path = dir.File("profile.xml");
  ProfilePlugin plugin;
  StoppingView* view = nullptr;
  plugin.platform().dialog_factory_ = [&view] {
    auto made = std::make_unique<StoppingView>();
    view = made.get();
    return made;
  };
  plugin.Start(path);
  ASSERT_NE(view, nullptr);
  view->during_box = [&plugin] { plugin.ctx().StopPlug(); };
  plugin.ctx().Config();
  view->Type(kDevice, "99");
  view->Type(kJog, "200");
  view->Click(DialogView::kOk);
  EXPECT_FALSE(plugin.ctx().dialog().exists());
  EXPECT_EQ(plugin.device_buffer(), 200);
  EXPECT_EQ(ReadText(path),
            "<profile><BRENOK><VASKELBUFFER>200</VASKELBUFFER><JOGBUFFER>200</JOGBUFFER>"
            "</BRENOK></profile>\n");
}

}  // namespace
}  // namespace vaskel::testing
