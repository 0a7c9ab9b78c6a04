// The buffer settings dialog as the user meets it: shown by Config over the host's window,
// entries typed, OK and Cancel clicked, the entry checks' message boxes read and closed.
#include <windows.h>

#include <string>
#include <vector>

#include "file_text.h"
#include "harness.h"
#include "host/host_layout.h"
#include "screenshot.h"
#include "sim/plugin_loader.h"
#include "sim/substitute_host.h"
#include "wine_support.h"

namespace {

constexpr int kDeviceBufferEdit = 4157;
constexpr int kJogBufferEdit = 4158;
const std::string kRangeMessage = "Please enter an integer between 100 and 1000.";
const std::string kNotANumberMessage = "Please enter a positive integer.";

// A stand-in for the host's main window, the owner of the plug-in's dialog.
class HostWindow {
 public:
  HostWindow() {
    WNDCLASSA wc{};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_APPWORKSPACE + 1);
    wc.lpszClassName = "VaskelTestHostWindow";
    RegisterClassA(&wc);
    hwnd_ = CreateWindowExA(0, wc.lpszClassName, "host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                            640, 400, nullptr, nullptr, wc.hInstance, nullptr);
  }
  ~HostWindow() {
    if (hwnd_) DestroyWindow(hwnd_);
  }
  HWND hwnd() const { return hwnd_; }

 private:
  HWND hwnd_ = nullptr;
};

struct WindowSearch {
  HWND owner;
  HWND found;
};

BOOL CALLBACK MatchOwnedDialog(HWND hwnd, LPARAM param) {
  auto* search = reinterpret_cast<WindowSearch*>(param);
  char cls[32] = {};
  GetClassNameA(hwnd, cls, sizeof(cls));
  if (std::string(cls) == "#32770" && GetWindow(hwnd, GW_OWNER) == search->owner) {
    search->found = hwnd;
    return FALSE;
  }
  return TRUE;
}

// A dialog-class window of this thread owned by `owner`.
HWND FindOwnedDialog(HWND owner) {
  WindowSearch search{owner, nullptr};
  EnumThreadWindows(GetCurrentThreadId(), &MatchOwnedDialog, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

BOOL CALLBACK AppendStaticText(HWND child, LPARAM param) {
  char cls[32] = {};
  GetClassNameA(child, cls, sizeof(cls));
  char buffer[256] = {};
  GetWindowTextA(child, buffer, sizeof(buffer));
  if (_stricmp(cls, "Static") == 0 && buffer[0]) *reinterpret_cast<std::string*>(param) += buffer;
  return TRUE;
}

std::string StaticTexts(HWND box) {
  std::string text;
  EnumChildWindows(box, &AppendStaticText, reinterpret_cast<LPARAM>(&text));
  return text;
}

// Reads and closes every message box that the dialog opens. A message box runs its own
// modal loop, so the watcher is a timer of this thread, which that loop still dispatches.
class MessageBoxWatcher {
 public:
  explicit MessageBoxWatcher(HWND dialog) {
    dialog_ = dialog;
    texts_.clear();
    screenshot_path_.clear();
    timer_ = SetTimer(nullptr, 0, 30, &MessageBoxWatcher::Tick);
  }
  ~MessageBoxWatcher() { KillTimer(nullptr, timer_); }
  // The next box is photographed (with the dialog beneath it) before it is closed.
  void PhotographNextBox(const std::string& path) { screenshot_path_ = path; }
  std::vector<std::string> TakeTexts() {
    std::vector<std::string> texts;
    texts.swap(texts_);
    return texts;
  }

 private:
  static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
    HWND box = FindOwnedDialog(dialog_);
    if (!box || !IsWindowVisible(box)) return;
    texts_.push_back(StaticTexts(box));
    if (!screenshot_path_.empty()) {
      RedrawWindow(box, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
      wine_tests::SaveScreenBmp(screenshot_path_);
      screenshot_path_.clear();
    }
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  }

  static inline HWND dialog_ = nullptr;
  static inline std::vector<std::string> texts_;
  static inline std::string screenshot_path_;
  UINT_PTR timer_ = 0;
};

std::string ItemText(HWND dialog, int id) {
  char buffer[128] = {};
  GetDlgItemTextA(dialog, id, buffer, sizeof(buffer));
  return buffer;
}

// Selects the edit box's text and types over it, key by key.
void Type(HWND dialog, int id, const std::string& text) {
  HWND edit = GetDlgItem(dialog, id);
  SendMessageA(edit, EM_SETSEL, 0, -1);
  SendMessageA(edit, WM_CHAR, VK_BACK, 0);
  for (char c : text) SendMessageA(edit, WM_CHAR, static_cast<unsigned char>(c), 0);
}

void Click(HWND dialog, int id, wine_tests::MessagePump& pump) {
  PostMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
  pump.PumpFor(400);
}

bool WholeTextSelected(HWND dialog, int id) {
  DWORD start = 0;
  DWORD end = 0;
  HWND edit = GetDlgItem(dialog, id);
  SendMessageA(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
  return start == 0 && end == static_cast<DWORD>(GetWindowTextLengthA(edit));
}

std::string Artifact(const char* name) {
  return wine_tests::ArtifactDir().empty() ? std::string() : wine_tests::ArtifactDir() + name;
}

WINE_TEST(SettingsDialogChecksEntriesStoresOnOkAndForgetsOnCancel) {
  const std::string profile = wine_tests::ScratchDir() + "dialog-profile.xml";
  REQUIRE(wine_tests::WriteTextFile(
      profile,
      "<profile><BRENOK><VASKELBUFFER>350</VASKELBUFFER><JOGBUFFER>150</JOGBUFFER></BRENOK>"
      "</profile>"));
  HostWindow main_window;
  REQUIRE(main_window.hwnd() != nullptr);
  wine_tests::MessagePump pump;

  vaskel::sim::LoadedPlugin library;
  std::string error;
  REQUIRE(library.Load(wine_tests::PluginPath(), &error));
  vaskel::sim::SubstituteHost host(library.api());
  host.blocks().window.Set(vaskel::window::kMainWindowHandle,
                           static_cast<void*>(main_window.hwnd()));
  host.Start(profile);
  pump.PumpFor(100);

  // PostInitControl made it hidden, owned by the host's window.
  HWND dialog = FindOwnedDialog(main_window.hwnd());
  REQUIRE(dialog != nullptr);
  CHECK(!IsWindowVisible(dialog));
  char caption[32] = {};
  GetWindowTextA(dialog, caption, sizeof(caption));
  CHECK_EQ(std::string(caption), std::string("Dialog"));
  MessageBoxWatcher boxes(dialog);

  library.api().Config();
  pump.PumpFor(200);
  CHECK(IsWindowVisible(dialog));
  CHECK_EQ(ItemText(dialog, kDeviceBufferEdit), std::string("350"));
  CHECK_EQ(ItemText(dialog, kJogBufferEdit), std::string("150"));

  // Out of range: one message, the entry selected for correction, the dialog stays.
  Type(dialog, kDeviceBufferEdit, "99");
  pump.PumpFor(100);
  if (!Artifact("dialog.bmp").empty()) {
    RedrawWindow(dialog, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    CHECK(wine_tests::SaveScreenBmp(Artifact("dialog.bmp")));
  }
  if (!Artifact("dialog-range-message.bmp").empty()) {
    boxes.PhotographNextBox(Artifact("dialog-range-message.bmp"));
  }
  Click(dialog, IDOK, pump);
  CHECK(boxes.TakeTexts() == std::vector<std::string>{kRangeMessage});
  CHECK(IsWindowVisible(dialog));
  CHECK(WholeTextSelected(dialog, kDeviceBufferEdit));

  Type(dialog, kDeviceBufferEdit, "abc");
  Click(dialog, IDOK, pump);
  CHECK(boxes.TakeTexts() == std::vector<std::string>{kNotANumberMessage});

  // A valid first entry with a bad second one: only the second is reported, nothing stored.
  Type(dialog, kDeviceBufferEdit, "1000");
  Type(dialog, kJogBufferEdit, "1001");
  Click(dialog, IDOK, pump);
  CHECK(boxes.TakeTexts() == std::vector<std::string>{kRangeMessage});
  CHECK(WholeTextSelected(dialog, kJogBufferEdit));
  library.api().Config();  // reloads the stored values: the refused entries changed nothing
  pump.PumpFor(100);
  CHECK_EQ(ItemText(dialog, kDeviceBufferEdit), std::string("350"));
  CHECK_EQ(ItemText(dialog, kJogBufferEdit), std::string("150"));

  // Valid entries: stored, the dialog hides without a message.
  Type(dialog, kDeviceBufferEdit, "150 ms");
  Type(dialog, kJogBufferEdit, "100");
  Click(dialog, IDOK, pump);
  CHECK(boxes.TakeTexts().empty());
  CHECK(!IsWindowVisible(dialog));

  // Cancel forgets the typing.
  library.api().Config();
  pump.PumpFor(100);
  CHECK_EQ(ItemText(dialog, kDeviceBufferEdit), std::string("150"));
  Type(dialog, kDeviceBufferEdit, "700");
  Click(dialog, IDCANCEL, pump);
  CHECK(!IsWindowVisible(dialog));
  library.api().Config();
  pump.PumpFor(100);
  CHECK_EQ(ItemText(dialog, kDeviceBufferEdit), std::string("150"));
  CHECK(boxes.TakeTexts().empty());

  // StopPlug destroys the dialog and writes what OK stored.
  host.Stop();
  pump.PumpFor(100);
  CHECK(!IsWindow(dialog));
  std::string saved;
  CHECK(wine_tests::ReadTextFile(profile, &saved));
  const std::string section =
      "<BRENOK><VASKELBUFFER>150</VASKELBUFFER><JOGBUFFER>100</JOGBUFFER></BRENOK>";
  CHECK(wine_tests::CompactXml(saved).find(section) != std::string::npos);
  DeleteFileA(profile.c_str());
}

// The host calls StopPlug from inside the message loop of the range message box (a timer or
// a menu command of its own): the dialog goes while its entry check is still on the stack.
// The check must return into live memory, store nothing, and the host carries on.
class StopPlugInsideTheBox {
 public:
  StopPlugInsideTheBox(HWND dialog, void (*stop_plug)()) {
    dialog_ = dialog;
    stop_plug_ = stop_plug;
    stopped_ = false;
    timer_ = SetTimer(nullptr, 0, 30, &StopPlugInsideTheBox::Tick);
  }
  ~StopPlugInsideTheBox() { KillTimer(nullptr, timer_); }
  static bool stopped() { return stopped_; }

 private:
  static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
    if (stopped_) {
      // Should the box outlive its owner, close it as a user would.
      HWND left = FindWindowA("#32770", nullptr);
      if (left && left != dialog_ && IsWindowVisible(left)) {
        PostMessageA(left, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
      }
      return;
    }
    HWND box = FindOwnedDialog(dialog_);
    if (!box || !IsWindowVisible(box)) return;
    stopped_ = true;
    stop_plug_();
  }

  static inline HWND dialog_ = nullptr;
  static inline void (*stop_plug_)() = nullptr;
  static inline bool stopped_ = false;
  UINT_PTR timer_ = 0;
};

WINE_TEST(StopPlugWhileTheRangeMessageIsOpenLeavesTheHostRunning) {
  const std::string profile = wine_tests::ScratchDir() + "dialog-stop-profile.xml";
  REQUIRE(wine_tests::WriteTextFile(
      profile,
      "<profile><BRENOK><VASKELBUFFER>350</VASKELBUFFER><JOGBUFFER>150</JOGBUFFER></BRENOK>"
      "</profile>"));
  HostWindow main_window;
  REQUIRE(main_window.hwnd() != nullptr);
  wine_tests::MessagePump pump;
  vaskel::sim::LoadedPlugin library;
  std::string error;
  REQUIRE(library.Load(wine_tests::PluginPath(), &error));
  {
    vaskel::sim::SubstituteHost host(library.api());
    host.blocks().window.Set(vaskel::window::kMainWindowHandle,
                             static_cast<void*>(main_window.hwnd()));
    host.Start(profile);
    HWND dialog = FindOwnedDialog(main_window.hwnd());
    REQUIRE(dialog != nullptr);
    library.api().Config();
    pump.PumpFor(100);
    Type(dialog, kDeviceBufferEdit, "99");
    Type(dialog, kJogBufferEdit, "700");
    StopPlugInsideTheBox stopper(dialog, library.api().StopPlug);
    Click(dialog, IDOK, pump);
    pump.PumpFor(300);
    CHECK(StopPlugInsideTheBox::stopped());
    CHECK(!IsWindow(dialog));
    CHECK(FindOwnedDialog(main_window.hwnd()) == nullptr);
  }
  library.Unload();
  CHECK(IsWindow(main_window.hwnd()));
  std::string saved;
  CHECK(wine_tests::ReadTextFile(profile, &saved));
  const std::string section =
      "<BRENOK><VASKELBUFFER>350</VASKELBUFFER><JOGBUFFER>150</JOGBUFFER></BRENOK>";
  CHECK(wine_tests::CompactXml(saved).find(section) != std::string::npos);
  DeleteFileA(profile.c_str());
}

}  // namespace
