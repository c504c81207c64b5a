// Request 16 with the real dialog, as a user sees it: the host's thread calls
// KelMain of DEREVU1.DLL while a second thread finds the dialog on the screen
// and works its controls. Runs under Wine on a virtual X display
// (scripts/dialog-run), in a scratch folder that takes the network files.
//
// Under Wine without a window manager, a BM_CLICK sent from another thread
// does not return while the dialog's message box is open, so clicks that
// raise a box are posted. WM_SETTEXT passes ES_NUMBER by, as a paste does.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "driver/host_interface.h"
#include "host_api/kalvro.h"
#include "platform/browse_dialog_ids.h"
#include "tests/support/network_file_fixture.h"

namespace {

using KelMainFunction = int32_t (*)(KelRequest*);

constexpr int kWaitMs = 10000;
constexpr int kDefaultHostVersion = 830;
constexpr char kUntouched = '#';

KelMainFunction g_kelMain = nullptr;

std::string ClassOf(HWND window) {
  char name[64] = {};
  GetClassNameA(window, name, sizeof name);
  return name;
}

std::string TextOf(HWND window) {
  char text[256] = {};
  GetWindowTextA(window, text, sizeof text);
  return text;
}

BOOL CALLBACK CollectDialog(HWND window, LPARAM list) {
  if (ClassOf(window) == "#32770") reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
  return TRUE;
}

// Top-level dialog windows (class "#32770": dialogs and message boxes) of a
// thread.
std::vector<HWND> DialogWindows(DWORD thread) {
  std::vector<HWND> found;
  EnumThreadWindows(thread, CollectDialog, reinterpret_cast<LPARAM>(&found));
  return found;
}

// The message box's text: its static control that has one (the other holds
// the icon).
BOOL CALLBACK FindStaticText(HWND child, LPARAM text) {
  if (ClassOf(child) == "Static" && !TextOf(child).empty()) *reinterpret_cast<std::string*>(text) = TextOf(child);
  return TRUE;
}

bool IsBrowseDialog(HWND window) { return GetDlgItem(window, IDC_BROWSE_STATION) != nullptr; }

template <typename Condition>
bool WaitUntil(Condition condition, int timeoutMs = kWaitMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    Sleep(5);
  }
  return condition();
}

// The browse dialog of a thread once it is on the screen; nullptr when none
// came, or when the request ended first.
HWND WaitForBrowseDialog(DWORD thread, const std::atomic<bool>& requestEnded) {
  HWND dialog = nullptr;
  WaitUntil([&] {
    for (HWND window : DialogWindows(thread)) {
      if (IsBrowseDialog(window) && IsWindowVisible(window)) dialog = window;
    }
    return dialog != nullptr || requestEnded;
  });
  return dialog;
}

struct MessageBoxSeen {
  std::string text;
  std::string caption;
  bool operator==(const MessageBoxSeen&) const = default;
};

std::ostream& operator<<(std::ostream& out, const MessageBoxSeen& box) {
  return out << "\"" << box.text << "\" / \"" << box.caption << "\"";
}

MessageBoxSeen ErrorBox(const char* text) { return {text, "Error"}; }

// The user at the screen, working one browse dialog.
class User {
 public:
  User(HWND dialog, DWORD dialogThread) : dialog_(dialog), thread_(dialogThread) {}

  HWND Dialog() const { return dialog_; }
  HWND Control(int id) const { return GetDlgItem(dialog_, id); }
  bool DialogOpen() const { return IsWindow(dialog_) && IsWindowVisible(dialog_); }

  // The items of a drop-down list, or of the bit list.
  std::vector<std::string> Items(int control) const {
    const bool list = control == IDC_BROWSE_BIT;
    std::vector<std::string> items;
    const LRESULT count = SendMessageA(Control(control), list ? LB_GETCOUNT : CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
      char text[128] = {};
      if (SendMessageA(Control(control), list ? LB_GETTEXTLEN : CB_GETLBTEXTLEN, i, 0) <
          static_cast<LRESULT>(sizeof text)) {
        SendMessageA(Control(control), list ? LB_GETTEXT : CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
      }
      items.push_back(text);
    }
    return items;
  }

  // Picks an item of a drop-down list; the box tells the dialog as a mouse
  // selection does.
  void Pick(int combo, int index) const {
    SendMessageA(Control(combo), CB_SETCURSEL, index, 0);
    SendMessageA(dialog_, WM_COMMAND, MAKEWPARAM(combo, CBN_SELCHANGE), reinterpret_cast<LPARAM>(Control(combo)));
  }
  void PickStation(const std::string& station) const { Pick(IDC_BROWSE_STATION, IndexOf(IDC_BROWSE_STATION, station)); }
  // The area whose description begins with this letter.
  void PickArea(char letter) const {
    const std::vector<std::string> areas = Items(IDC_BROWSE_AREA);
    for (size_t i = 0; i < areas.size(); ++i) {
      if (!areas[i].empty() && areas[i][0] == letter) return Pick(IDC_BROWSE_AREA, static_cast<int>(i));
    }
    ADD_FAILURE() << "no area " << letter;
  }

  // Keys typed into the element box after selecting what it holds.
  void TypeElement(const std::string& keys) const {
    HWND edit = Control(IDC_BROWSE_ELEMENT);
    SendMessageA(edit, EM_SETSEL, 0, -1);
    SendMessageA(edit, WM_CHAR, VK_BACK, 0);
    for (char key : keys) SendMessageA(edit, WM_CHAR, static_cast<unsigned char>(key), 0);
  }
  // Text put into the element box whole, as a paste does.
  void PasteElement(const std::string& text) const {
    SendMessageA(Control(IDC_BROWSE_ELEMENT), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
  }
  std::string Element() const { return TextOf(Control(IDC_BROWSE_ELEMENT)); }

  // Clicks on the bit list's scroll arrows: positive down, negative up.
  void ScrollBits(int lines) const {
    const WORD direction = lines > 0 ? SB_LINEDOWN : SB_LINEUP;
    for (int i = 0; i < std::abs(lines); ++i) {
      SendMessageA(Control(IDC_BROWSE_BIT), WM_VSCROLL, MAKEWPARAM(direction, 0), 0);
    }
  }
  int TopBit() const { return static_cast<int>(SendMessageA(Control(IDC_BROWSE_BIT), LB_GETTOPINDEX, 0, 0)); }
  bool BitListShown() const { return IsWindowVisible(Control(IDC_BROWSE_BIT)) != FALSE; }
  // Items the bit list shows at once.
  int VisibleBitItems() const {
    RECT client{};
    GetClientRect(Control(IDC_BROWSE_BIT), &client);
    const LRESULT itemHeight = SendMessageA(Control(IDC_BROWSE_BIT), LB_GETITEMHEIGHT, 0, 0);
    return itemHeight > 0 ? static_cast<int>((client.bottom - client.top) / itemHeight) : 0;
  }

  // OK with entries the dialog accepts: it ends.
  void PressOk() const { SendMessageA(Control(IDOK), BM_CLICK, 0, 0); }
  void PressCancel() const { SendMessageA(Control(IDCANCEL), BM_CLICK, 0, 0); }

  // OK with entries the dialog refuses: reads the message box that comes up
  // and dismisses it with its OK button.
  MessageBoxSeen PressOkExpectingMessageBox() const {
    PostMessageA(Control(IDOK), BM_CLICK, 0, 0);
    HWND box = nullptr;
    WaitUntil([&] {
      for (HWND window : DialogWindows(thread_)) {
        if (window != dialog_ && GetWindow(window, GW_OWNER) == dialog_ && IsWindowVisible(window)) box = window;
      }
      return box != nullptr;
    });
    if (box == nullptr) return {"(no message box)", ""};
    MessageBoxSeen seen{"", TextOf(box)};
    EnumChildWindows(box, FindStaticText, reinterpret_cast<LPARAM>(&seen.text));
    PostMessageA(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
    if (!WaitUntil([&] { return !IsWindow(box); })) ADD_FAILURE() << "the message box stayed open";
    return seen;
  }

  // Leaves nothing open whatever the test did: message boxes first, then
  // the dialog.
  void CloseEverything() const {
    WaitUntil(
        [&] {
          bool open = false;
          for (HWND window : DialogWindows(thread_)) {
            open = true;
            if (window != dialog_) PostMessageA(GetDlgItem(window, IDOK), BM_CLICK, 0, 0);
          }
          if (IsWindow(dialog_)) PostMessageA(dialog_, WM_COMMAND, IDCANCEL, 0);
          return !open;
        },
        kWaitMs);
  }

 private:
  int IndexOf(int combo, const std::string& text) const {
    return static_cast<int>(SendMessageA(Control(combo), CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                         reinterpret_cast<LPARAM>(text.c_str())));
  }

  HWND dialog_;
  DWORD thread_;
};

struct BrowseOutcome {
  int32_t result;
  std::string buffer;  // the host's buffer up to its first NUL
};

// Request 16 as the host makes it, into a buffer of '#'.
BrowseOutcome Request(int32_t board, HWND hostWindow) {
  char buffer[16];
  std::memset(buffer, kUntouched, sizeof buffer);
  buffer[sizeof buffer - 1] = '\0';
  BrowseRecord record{buffer, hostWindow};
  KelRequest request{nullptr, kRequestBrowseAddress, board, 0, &record};
  return {g_kelMain(&request), buffer};
}

// Request 16 on the calling thread while the user thread waits for the
// dialog and plays the script.
BrowseOutcome Browse(int32_t board, HWND hostWindow, const std::function<void(const User&)>& script,
                     bool* appeared = nullptr) {
  const DWORD hostThread = GetCurrentThreadId();
  std::atomic<bool> requestEnded{false};
  std::thread user([&] {
    HWND dialog = WaitForBrowseDialog(hostThread, requestEnded);
    if (appeared) *appeared = dialog != nullptr;
    if (dialog == nullptr) {
      if (!appeared) ADD_FAILURE() << "no browse dialog appeared";
      return;
    }
    User at(dialog, hostThread);
    script(at);
    at.CloseEverything();
  });
  const BrowseOutcome outcome = Request(board, hostWindow);
  requestEnded = true;
  user.join();
  return outcome;
}

const std::string kBufferUntouched(15, kUntouched);

// Board 41 has stations 1, 2 and 17.
constexpr int32_t kBoardWithFile = 41;

class BrowseDialog : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    module_ = LoadLibraryA("DEREVU1.DLL");
    if (module_ != nullptr) {
      g_kelMain = reinterpret_cast<KelMainFunction>(reinterpret_cast<void*>(GetProcAddress(module_, "KelMain")));
    }
  }
  void SetUp() override {
    ASSERT_NE(module_, nullptr) << "LoadLibrary failed with " << GetLastError();
    ASSERT_NE(g_kelMain, nullptr);
    KalSetHostVersion(kDefaultHostVersion);
  }
  void TearDown() override {
    KalSetHostVersion(kDefaultHostVersion);
    if (hostWindow_ != nullptr) DestroyWindow(hostWindow_);
  }

  // A top-level window of the host, made on the host's thread.
  HWND HostWindow() {
    if (hostWindow_ == nullptr) {
      hostWindow_ = CreateWindowExA(0, "STATIC", "Host", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr,
                                    GetModuleHandleA(nullptr), nullptr);
    }
    return hostWindow_;
  }

  NetworkFile file_{kBoardWithFile, "01PLCA\n02PLCB*\n17PLCQ\n"};
  HWND hostWindow_ = nullptr;
  static inline HMODULE module_ = nullptr;
};

TEST_F(BrowseDialog, RegisterBitIsReadFromTheBitListsTopItem) {
  std::vector<std::string> stations, areas, bits;
  bool bitListAtStart = true;
  int visibleBitItems = 0;
  std::string typed;
  const BrowseOutcome outcome = Browse(kBoardWithFile, nullptr, [&](const User& user) {
    stations = user.Items(IDC_BROWSE_STATION);
    areas = user.Items(IDC_BROWSE_AREA);
    bits = user.Items(IDC_BROWSE_BIT);
    bitListAtStart = user.BitListShown();
    user.PickStation("01");
    user.PickArea('R');
    EXPECT_TRUE(user.BitListShown());
    visibleBitItems = user.VisibleBitItems();
    user.TypeElement("00010");
    typed = user.Element();
    user.ScrollBits(6);  // "None", "0", ... "5"
    EXPECT_EQ(user.TopBit(), 6);
    user.ScrollBits(30);  // past the end: stops at the last item
    EXPECT_EQ(user.TopBit(), 16);
    user.PressOk();
  });
  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(outcome.buffer, "01R00010F");
  EXPECT_EQ(stations, (std::vector<std::string>{"01", "02", "17"}));
  ASSERT_EQ(areas.size(), 13u);
  EXPECT_EQ(areas[0], "R:  Register table (%R).");
  EXPECT_EQ(areas[12], "D:  System Fault (%S, Digital read-only gate).");
  EXPECT_EQ(bits, (std::vector<std::string>{"None", "0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "A", "B",
                                            "C", "D", "E", "F"}));
  EXPECT_FALSE(bitListAtStart);
  EXPECT_EQ(typed, "00010");
  // Read by its top item, the list must show one item so that "F" can reach
  // the top.
  EXPECT_EQ(visibleBitItems, 1);
}

// Other areas hide the bit list, also after a register area showed it and
// the user scrolled it; a list never scrolled stays at "None".
TEST_F(BrowseDialog, OtherAreasHideTheBitListAndComposeEightCharacters) {
  const struct {
    bool registerAreaFirst;
    char area;
    const char* element;
    const char* gas;
  } cases[] = {{false, 'M', "00017", "02M00017"}, {false, 'F', "00003", "02F00003"}, {true, 'M', "00017", "02M00017"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.gas) + (c.registerAreaFirst ? " after R" : ""));
    bool bitListShown = true;
    int topBit = -1;
    const BrowseOutcome outcome = Browse(kBoardWithFile, nullptr, [&](const User& user) {
      user.PickStation("02");
      if (c.registerAreaFirst) {
        user.PickArea('R');
        EXPECT_TRUE(user.BitListShown());
        user.ScrollBits(3);
      }
      user.PickArea(c.area);
      bitListShown = user.BitListShown();
      topBit = user.TopBit();
      user.TypeElement(c.element);
      user.PressOk();
    });
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.buffer, c.gas);
    EXPECT_FALSE(bitListShown);
    if (!c.registerAreaFirst) {
      EXPECT_EQ(topBit, 0);
    }
  }
}

TEST_F(BrowseDialog, EachRefusalShowsItsMessageBoxAndKeepsTheDialogOpen) {
  std::vector<MessageBoxSeen> boxes;
  std::vector<bool> openAfter;
  const BrowseOutcome outcome = Browse(kBoardWithFile, nullptr, [&](const User& user) {
    auto refuse = [&] {
      boxes.push_back(user.PressOkExpectingMessageBox());
      openAfter.push_back(user.DialogOpen());
    };
    refuse();  // nothing chosen yet
    user.PickStation("01");
    user.PickArea('R');
    user.TypeElement("1234");
    refuse();
    user.PasteElement("12a45");  // past the box's digits-only filter
    refuse();
    user.TypeElement("00010");
    refuse();  // the bit list still at "None"
    user.ScrollBits(1);
    user.PressOk();
  });
  const std::vector<MessageBoxSeen> expected{
      ErrorBox("missing value!"),
      ErrorBox("Wrong address! (5 decimal digits)"),
      ErrorBox("Wrong address! (5 decimal digits)"),
      ErrorBox("missing Bit Number value!"),
  };
  EXPECT_EQ(boxes, expected);
  EXPECT_EQ(openAfter, std::vector<bool>(expected.size(), true));
  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(outcome.buffer, "01R000100");
}

TEST_F(BrowseDialog, ASecondRequestWhileTheDialogIsOpenGetsNoneAtOnce) {
  BrowseOutcome second{};
  size_t dialogsOfTheSecondThread = 99;
  const BrowseOutcome first = Browse(kBoardWithFile, nullptr, [&](const User& user) {
    second = Request(kBoardWithFile, nullptr);
    dialogsOfTheSecondThread = DialogWindows(GetCurrentThreadId()).size();
    EXPECT_TRUE(user.DialogOpen());
    user.PickStation("02");
    user.PickArea('A');
    user.TypeElement("00003");
    user.PressOk();
  });
  EXPECT_EQ(second.result, 53);
  EXPECT_EQ(second.buffer, kBufferUntouched);
  EXPECT_EQ(dialogsOfTheSecondThread, 0u);
  EXPECT_EQ(first.result, 0);
  EXPECT_EQ(first.buffer, "02A00003");
}

TEST_F(BrowseDialog, TheHostWindowOwnsTheDialogFromHostVersion820On) {
  // Which versions own it is the request's rule; here the owner is a window.
  const struct {
    int version;
    bool owned;
  } cases[] = {{819, false}, {820, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version);
    KalSetHostVersion(c.version);
    HWND host = HostWindow();
    HWND owner = reinterpret_cast<HWND>(1);
    bool hostEnabled = false;
    const BrowseOutcome outcome = Browse(kBoardWithFile, host, [&](const User& user) {
      owner = GetWindow(user.Dialog(), GW_OWNER);
      hostEnabled = IsWindowEnabled(host) != FALSE;
      user.PressCancel();
    });
    EXPECT_EQ(outcome.result, 53);
    EXPECT_EQ(owner, c.owned ? host : nullptr);
    // A modal dialog disables its owner while it is open.
    EXPECT_EQ(hostEnabled, !c.owned);
    EXPECT_TRUE(IsWindowEnabled(host));
  }
}

// A dialog that cannot appear and one cancelled both yield 53 and leave the
// buffer alone; after any end, the next request shows the dialog again.
TEST_F(BrowseDialog, FailureAndCancelYield53AndTheNextDialogAppears) {
  auto pick = [](const char* station, char area, const char* element) {
    return [=](const User& user) {
      user.PickStation(station);
      user.PickArea(area);
      user.TypeElement(element);
      user.PressOk();
    };
  };
  // An owner that is no window: the dialog cannot be created.
  HWND noWindow = reinterpret_cast<HWND>(static_cast<intptr_t>(0x7FFF0000));
  bool appeared = true;
  const BrowseOutcome failed = Browse(
      kBoardWithFile, noWindow, [](const User& user) { user.PressCancel(); }, &appeared);
  EXPECT_EQ(failed.result, 53);
  EXPECT_EQ(failed.buffer, kBufferUntouched);
  EXPECT_FALSE(appeared);
  EXPECT_EQ(Browse(kBoardWithFile, nullptr, pick("01", 'T', "00005")).buffer, "01T00005");
  const BrowseOutcome cancelled = Browse(kBoardWithFile, nullptr, [](const User& user) { user.PressCancel(); });
  EXPECT_EQ(cancelled.result, 53);
  EXPECT_EQ(cancelled.buffer, kBufferUntouched);
  const BrowseOutcome last = Browse(kBoardWithFile, nullptr, pick("17", 'G', "00002"));
  EXPECT_EQ(last.result, 0);
  EXPECT_EQ(last.buffer, "17G00002");
}

// With KEL_SHOT_DIR (a folder that scripts/dialog-run watches when
// scripts/browse-screenshot runs it), the filled-in dialog asks for a
// screenshot of its rectangle and waits for it.
TEST_F(BrowseDialog, Screenshot) {
  const char* folder = std::getenv("KEL_SHOT_DIR");
  if (folder == nullptr) GTEST_SKIP() << "no KEL_SHOT_DIR";
  const std::string request = std::string(folder) + "\\request";
  const std::string done = std::string(folder) + "\\done";
  bool taken = false;
  Browse(kBoardWithFile, nullptr, [&](const User& user) {
    user.PickStation("01");
    user.PickArea('R');
    user.TypeElement("00010");
    user.ScrollBits(6);
    RECT rect{};
    GetWindowRect(user.Dialog(), &rect);
    {
      std::ofstream out(request + ".tmp");
      out << rect.left << " " << rect.top << " " << rect.right - rect.left << " " << rect.bottom - rect.top << "\n";
    }
    MoveFileA((request + ".tmp").c_str(), request.c_str());
    taken = WaitUntil([&] { return GetFileAttributesA(done.c_str()) != INVALID_FILE_ATTRIBUTES; });
    user.PressCancel();
  });
  EXPECT_TRUE(taken);
}

}  // namespace
