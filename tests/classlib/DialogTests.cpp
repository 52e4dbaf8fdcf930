// Dialogs driven with real messages: the dialog procedure's answers, help, the modal loop's idle phase,
// and the owners it disables and must enable again on every way out. Modal code runs on this thread; a
// thread timer acts inside the loop.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Core.h"
#include "Dialog.h"
#include "ModalStep.h"

namespace {

constexpr UINT kHiddenTemplate = 60100;
constexpr UINT kNoIdleTemplate = 60101;
constexpr UINT kChildTemplate = 60102;
constexpr UINT kMissingTemplate = 60199;
constexpr UINT kEditId = 60110;
constexpr UINT kThrowMessage = WM_APP + 40;  // the application's pre-translation throws on it
constexpr UINT kAnswerMessage = WM_APP + 41;
constexpr LRESULT kAnswer = 42;
constexpr int kTimedOut = 999;

class CTestApp : public CWinApp {
 public:
  bool ShowHelp(UINT id) override {
    helpCalls.push_back(id);
    return true;
  }
  bool PreTranslateMessage(MSG* message) override {
    if (message->message == kThrowMessage) throw std::runtime_error("pre-translation failed");
    return false;
  }
  std::vector<UINT> helpCalls;
};

CTestApp theApp;


class CProbeDialog;
CProbeDialog* g_running = nullptr;  // ended by the watchdog when a test would hang

class CProbeDialog : public CModalDialog {
 public:
  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override {
    seen.push_back(message);
    switch (message) {
      case WM_INITDIALOG:
        visibleAtInit = IsWindowVisible(wnd) != FALSE;
        break;
      case WM_KICKIDLE:
        if (kickCounts.empty()) {
          visibleAtFirstIdle = IsWindowVisible(wnd) != FALSE;
          iconicAtFirstIdle = IsIconic(wnd) != FALSE;
        }
        kickCounts.push_back(int(lParam));
        return onKickIdle ? onKickIdle(int(lParam)) : 0;
      case kAnswerMessage:
        return kAnswer;
      default:
        break;
    }
    return CModalDialog::WindowProc(wnd, message, wParam, lParam);
  }

  std::vector<UINT> seen;
  std::vector<int> kickCounts;
  std::function<LRESULT(int)> onKickIdle;
  bool visibleAtInit = true;
  bool visibleAtFirstIdle = false;
  bool iconicAtFirstIdle = false;
};

void CALLBACK WatchdogProc(HWND, UINT, UINT_PTR id, DWORD) {
  KillTimer(nullptr, id);
  if (g_running && g_running->hwnd) g_running->EndDialog(kTimedOut);
}

const wchar_t kOwnerClass[] = L"DialogTestsOwner";

// A top-level window that records the WM_ENTERIDLE it is sent.
class COwnerWnd : public CWnd {
 public:
  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message == WM_ENTERIDLE) enterIdle.push_back({wParam, lParam});
    return CWnd::WindowProc(wnd, message, wParam, lParam);
  }
  bool CreateTopLevel(int x, int y) {
    return Create(0, kOwnerClass, L"owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE, x, y, 400, 300, nullptr, 0);
  }
  std::vector<std::pair<WPARAM, LPARAM>> enterIdle;
};

void Drain() {
  MSG m;
  while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
    if (m.message == WM_QUIT) continue;
    TranslateMessage(&m);
    DispatchMessageW(&m);
  }
}

class DialogFixture : public testing::Test {
 protected:
  void SetUp() override {
    g_hInstance = g_hResInstance = GetModuleHandleW(nullptr);
    static bool registered = false;
    if (!registered) {
      WNDCLASSEXW wc{};
      wc.cbSize = sizeof wc;
      wc.hInstance = GetModuleHandleW(nullptr);
      wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
      wc.hbrBackground = HBRUSH(COLOR_WINDOW + 1);
      wc.lpfnWndProc = &CWnd::StaticWndProc;
      wc.lpszClassName = kOwnerClass;
      ASSERT_TRUE(RegisterClassExW(&wc));
      registered = true;
    }
    ASSERT_TRUE(m_main.CreateTopLevel(0, 0));
    theApp.mainWnd = &m_main;
    theApp.helpCalls.clear();
    Drain();
  }
  void TearDown() override {
    theApp.mainWnd = nullptr;
    g_running = nullptr;
    g_step = nullptr;
    m_main.Destroy();
    Drain();
  }

  // DoModal with a watchdog, so a loop that never ends fails the test instead of hanging it.
  int RunModal(CProbeDialog& dialog, UINT templateId, HWND owner) {
    g_running = &dialog;
    UINT_PTR watchdog = SetTimer(nullptr, 0, 5000, &WatchdogProc);
    const int answer = dialog.DoModal(templateId, owner);
    KillTimer(nullptr, watchdog);
    g_running = nullptr;
    return answer;
  }
  // The loop alone on a dialog made beforehand, so the window can be looked at after the loop.
  void RunLoop(CProbeDialog& dialog) {
    g_running = &dialog;
    UINT_PTR watchdog = SetTimer(nullptr, 0, 5000, &WatchdogProc);
    CModalDialog::RunModalLoop(dialog.hwnd, &dialog.result);
    KillTimer(nullptr, watchdog);
    g_running = nullptr;
  }

  COwnerWnd m_main;
};

// ---- Creation and the dialog procedure ----

TEST_F(DialogFixture, TemplateComesFromTheResourceModuleElseTheProgram) {
  const HINSTANCE program = GetModuleHandleW(nullptr);
  const HINSTANCE without = GetModuleHandleW(L"kernel32.dll");  // holds no dialog of ours
  struct Case {
    HINSTANCE Res;
    HINSTANCE Instance;
    UINT Template;
    bool Created;
  } cases[] = {
      {program, program, kHiddenTemplate, true},
      {without, program, kHiddenTemplate, true},
      {without, without, kHiddenTemplate, false},
      {program, program, kMissingTemplate, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "template " << c.Template << " res " << (c.Res == program));
    g_hResInstance = c.Res;
    g_hInstance = c.Instance;
    CProbeDialog dialog;
    EXPECT_EQ(CDialog::CreateFromTemplate(&dialog, c.Template, m_main.hwnd), c.Created);
    EXPECT_EQ(dialog.hwnd != nullptr, c.Created);
    if (dialog.hwnd) {
      EXPECT_EQ(theApp.LookupWindow(dialog.hwnd), &dialog);
    }
    dialog.Destroy();
  }
  g_hInstance = g_hResInstance = program;
}

TEST_F(DialogFixture, MissingTemplateAnswersMinusOneWithoutLoop) {
  CProbeDialog dialog;
  EXPECT_EQ(RunModal(dialog, kMissingTemplate, m_main.hwnd), -1);
  EXPECT_TRUE(dialog.seen.empty());
  EXPECT_TRUE(IsWindowEnabled(m_main.hwnd));
}

TEST_F(DialogFixture, ObjectArrivesWithInitDialogAndAnswersThroughMsgResult) {
  CProbeDialog dialog;
  ASSERT_TRUE(CDialog::CreateFromTemplate(&dialog, kHiddenTemplate, m_main.hwnd));
  // The font is set before WM_INITDIALOG: those messages have no object yet.
  ASSERT_FALSE(dialog.seen.empty());
  EXPECT_EQ(dialog.seen.front(), UINT(WM_INITDIALOG));
  EXPECT_EQ(GetWindowLongPtrW(dialog.hwnd, DWLP_USER), LONG_PTR(&dialog));
  // The dialog manager hands back DWLP_MSGRESULT, so a handler's answer must be stored there.
  EXPECT_EQ(SendMessageW(dialog.hwnd, kAnswerMessage, 0, 0), kAnswer);
  // Unhandled messages go to the dialog manager: the caption is still read.
  wchar_t caption[32] = L"";
  GetWindowTextW(dialog.hwnd, caption, 32);
  EXPECT_STREQ(caption, L"Probe");
  dialog.Destroy();
}

TEST_F(DialogFixture, HelpContextAddsTheTitleButtonAndShowsHelp) {
  struct Case {
    UINT HelpId;
    bool ContextHelpStyle;
    LRESULT CommandHelpAnswer;
    std::vector<UINT> HelpCalls;
  } cases[] = {
      {0, false, 0, {}},
      {901, true, 1, {901, 901}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "helpId " << c.HelpId);
    theApp.helpCalls.clear();
    CProbeDialog dialog;
    dialog.helpId = c.HelpId;
    ASSERT_TRUE(CDialog::CreateFromTemplate(&dialog, kHiddenTemplate, m_main.hwnd));
    EXPECT_EQ((GetWindowLongW(dialog.hwnd, GWL_EXSTYLE) & WS_EX_CONTEXTHELP) != 0, c.ContextHelpStyle);
    EXPECT_EQ(SendMessageW(dialog.hwnd, WM_COMMANDHELP, 0, 0), c.CommandHelpAnswer);
    // Without a help context SC_CONTEXTHELP belongs to the system (it would enter help mode).
    if (c.HelpId) SendMessageW(dialog.hwnd, WM_SYSCOMMAND, SC_CONTEXTHELP, 0);
    EXPECT_EQ(theApp.helpCalls, c.HelpCalls);
    dialog.Destroy();
  }
}

TEST_F(DialogFixture, ItemTextOfPresentAndMissingControls) {
  CProbeDialog dialog;
  ASSERT_TRUE(CDialog::CreateFromTemplate(&dialog, kHiddenTemplate, m_main.hwnd));
  SetDlgItemTextW(dialog.hwnd, kEditId, L"Reader 7");
  std::wstring text = L"stale";
  EXPECT_EQ(dialog.GetDlgItemText(kEditId, text), 8);
  EXPECT_EQ(text, L"Reader 7");
  EXPECT_EQ(dialog.GetDlgItemText(kEditId + 1, text), 0);
  EXPECT_EQ(text, L"");
  dialog.Destroy();
}

TEST_F(DialogFixture, PreTranslationTakesOnlyInputOfItsOwnWindows) {
  CProbeDialog dialog;
  ASSERT_TRUE(CDialog::CreateFromTemplate(&dialog, kHiddenTemplate, m_main.hwnd));
  HWND edit = GetDlgItem(dialog.hwnd, kEditId);
  struct Case {
    HWND Target;
    UINT Message;
    WPARAM WParam;
    bool Taken;
  } cases[] = {
      {edit, WM_KEYDOWN, VK_TAB, true},
      {edit, WM_CHAR, L'a', true},
      {edit, WM_LBUTTONDOWN, 0, true},
      {edit, WM_APP, 0, false},
      {edit, WM_TIMER, 0, false},
      {m_main.hwnd, WM_KEYDOWN, VK_TAB, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "message 0x" << std::hex << c.Message);
    MSG m{c.Target, c.Message, c.WParam, 0, 0, {}};
    EXPECT_EQ(dialog.PreTranslateMessage(&m), c.Taken);
  }
  dialog.Destroy();
}

TEST_F(DialogFixture, ChildDialogCentresInItsParentClientArea) {
  CProbeDialog dialog;
  ASSERT_TRUE(CDialog::CreateFromTemplate(&dialog, kChildTemplate, m_main.hwnd));
  RECT client, own;
  GetClientRect(m_main.hwnd, &client);
  GetWindowRect(dialog.hwnd, &own);
  const int cx = own.right - own.left, cy = own.bottom - own.top;
  ASSERT_LT(cx, client.right);
  ASSERT_LT(cy, client.bottom);
  dialog.CenterWindow();
  GetWindowRect(dialog.hwnd, &own);
  MapWindowPoints(nullptr, m_main.hwnd, reinterpret_cast<POINT*>(&own), 2);
  EXPECT_EQ(own.left, client.right / 2 - cx / 2);
  EXPECT_EQ(own.top, client.bottom / 2 - cy / 2);
  EXPECT_EQ(own.right - own.left, cx);
  // Larger than its parent: kept at the parent's top-left corner.
  SetWindowPos(m_main.hwnd, nullptr, 0, 0, 60, 60, SWP_NOMOVE | SWP_NOZORDER);
  dialog.CenterWindow();
  GetWindowRect(dialog.hwnd, &own);
  MapWindowPoints(nullptr, m_main.hwnd, reinterpret_cast<POINT*>(&own), 2);
  EXPECT_EQ(own.left, 0);
  EXPECT_EQ(own.top, 0);
  dialog.Destroy();
}

TEST_F(DialogFixture, PopupDialogCentresOnItsVisibleOwnerInsideTheWorkArea) {
  RECT work;
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  CProbeDialog dialog;
  ASSERT_TRUE(CDialog::CreateFromTemplate(&dialog, kHiddenTemplate, m_main.hwnd));
  RECT own;
  GetWindowRect(dialog.hwnd, &own);
  const int cx = own.right - own.left, cy = own.bottom - own.top;
  struct Case {
    int OwnerX, OwnerY;
    bool Minimised;
  } cases[] = {{200, 150, false}, {work.right - 100, work.bottom - 50, false}, {200, 150, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.OwnerX << "," << c.OwnerY << (c.Minimised ? " minimised" : ""));
    ShowWindow(m_main.hwnd, SW_RESTORE);
    SetWindowPos(m_main.hwnd, nullptr, c.OwnerX, c.OwnerY, 400, 300, SWP_NOZORDER | SWP_NOACTIVATE);
    RECT owner;
    GetWindowRect(m_main.hwnd, &owner);
    RECT reference = owner;
    if (c.Minimised) {
      ShowWindow(m_main.hwnd, SW_MINIMIZE);
      reference = work;
    }
    int x = (reference.left + reference.right) / 2 - cx / 2;
    int y = (reference.top + reference.bottom) / 2 - cy / 2;
    x = std::max(std::min(x, int(work.right) - cx), int(work.left));
    y = std::max(std::min(y, int(work.bottom) - cy), int(work.top));
    dialog.CenterWindow();
    GetWindowRect(dialog.hwnd, &own);
    EXPECT_EQ(own.left, x);
    EXPECT_EQ(own.top, y);
  }
  ShowWindow(m_main.hwnd, SW_RESTORE);
  dialog.Destroy();
}

// ---- The modal loop ----

TEST_F(DialogFixture, HiddenDialogIsShownAtTheFirstIdleMoment) {
  CProbeDialog dialog;
  dialog.onKickIdle = [&](int) -> LRESULT {
    if (!g_step) RunLater([&] { dialog.EndDialog(7); }, 30);
    return 0;
  };
  EXPECT_EQ(RunModal(dialog, kHiddenTemplate, m_main.hwnd), 7);
  EXPECT_FALSE(dialog.visibleAtInit);
  EXPECT_TRUE(dialog.visibleAtFirstIdle);
  EXPECT_EQ(dialog.hwnd, nullptr);  // destroyed by DoModal
}

TEST_F(DialogFixture, VisibleDialogIsNotShownAgain) {
  CProbeDialog dialog;
  ASSERT_TRUE(CDialog::CreateFromTemplate(&dialog, kHiddenTemplate, m_main.hwnd));
  // Minimised and visible on entry: showing it again would restore it.
  ShowWindow(dialog.hwnd, SW_SHOWMINNOACTIVE);
  ASSERT_TRUE(IsIconic(dialog.hwnd));
  RunLater([&] { dialog.EndDialog(3); }, 30);
  RunLoop(dialog);
  EXPECT_EQ(dialog.result, 3);
  ASSERT_FALSE(dialog.kickCounts.empty());
  EXPECT_TRUE(dialog.iconicAtFirstIdle);
  dialog.Destroy();
}

TEST_F(DialogFixture, IdlePeriodsCountUpAndRestartAfterAnyMessageButPaint) {
  enum Trigger { kNone, kPaint, kPosted };
  struct Case {
    const char* Name;
    Trigger What;
    std::vector<int> Counts;
  } cases[] = {
      {"nothing", kNone, {0, 1, 2}},
      {"paint", kPaint, {0, 1, 2}},
      {"posted message", kPosted, {0, 1, 2, 0, 1, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    CProbeDialog dialog;
    bool triggered = false;
    // Asks for three idle calls per period; at the end of the first, makes the case's message.
    dialog.onKickIdle = [&](int count) -> LRESULT {
      if (count < 2) return 1;
      if (!triggered) {
        triggered = true;
        if (c.What == kPaint) InvalidateRect(dialog.hwnd, nullptr, TRUE);
        if (c.What == kPosted) PostMessageW(dialog.hwnd, WM_APP, 0, 0);
      }
      return 0;
    };
    RunLater([&] { dialog.EndDialog(1); }, 300);
    EXPECT_EQ(RunModal(dialog, kHiddenTemplate, m_main.hwnd), 1);
    EXPECT_EQ(dialog.kickCounts, c.Counts);
  }
}

TEST_F(DialogFixture, EnterIdleGoesToTheParentOncePerPeriodUnlessNoIdleMessage) {
  struct Case {
    UINT Template;
    bool EnterIdle;
  } cases[] = {{kHiddenTemplate, true}, {kNoIdleTemplate, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Template);
    m_main.enterIdle.clear();
    CProbeDialog dialog;
    HWND seenDialog = nullptr;
    dialog.onKickIdle = [&](int) -> LRESULT {
      seenDialog = dialog.hwnd;
      if (!g_step) RunLater([&] { dialog.EndDialog(2); }, 100);
      return 0;
    };
    EXPECT_EQ(RunModal(dialog, c.Template, m_main.hwnd), 2);
    ASSERT_FALSE(dialog.kickCounts.empty());  // the idle message still comes
    const size_t periods = size_t(std::count(dialog.kickCounts.begin(), dialog.kickCounts.end(), 0));
    EXPECT_EQ(m_main.enterIdle.size(), c.EnterIdle ? periods : 0u);
    for (const auto& sent : m_main.enterIdle) {
      EXPECT_EQ(sent.first, WPARAM(MSGF_DIALOGBOX));
      EXPECT_EQ(sent.second, LPARAM(seenDialog));
    }
  }
}

TEST_F(DialogFixture, OwnersAreEnabledAgainOnEveryWayOut) {
  enum Way { kEnd, kQuit, kThrow };
  struct Case {
    const char* Name;
    Way How;
    int Result;
    bool HiddenAfter;
    bool QuitQueued;
  } cases[] = {
      {"EndDialog", kEnd, 5, true, false},
      {"WM_QUIT", kQuit, -1, true, true},
      {"throwing pre-translation", kThrow, -1, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    CProbeDialog dialog;
    ASSERT_TRUE(CDialog::CreateFromTemplate(&dialog, kHiddenTemplate, m_main.hwnd));
    bool mainEnabledInside = true;
    RunLater([&] {
      mainEnabledInside = IsWindowEnabled(m_main.hwnd) != FALSE;
      if (c.How == kEnd) dialog.EndDialog(5);
      if (c.How == kQuit) PostQuitMessage(9);
      if (c.How == kThrow) PostMessageW(dialog.hwnd, kThrowMessage, 0, 0);
    }, 30);
    RunLoop(dialog);
    EXPECT_FALSE(mainEnabledInside);
    EXPECT_EQ(dialog.result, c.Result);
    EXPECT_TRUE(IsWindowEnabled(m_main.hwnd));
    EXPECT_EQ(IsWindowVisible(dialog.hwnd) == FALSE, c.HiddenAfter);
    MSG quit;
    const bool queued = PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE;
    EXPECT_EQ(queued, c.QuitQueued);
    // The outer loop gets the exit code the quit was posted with.
    if (queued) {
      EXPECT_EQ(quit.wParam, WPARAM(9));
    }
    dialog.Destroy();
  }
}

TEST_F(DialogFixture, OwnerChainIsDisabledForTheLoopOnly) {
  COwnerWnd other;
  ASSERT_TRUE(other.CreateTopLevel(420, 0));
  HWND child = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, 0, 0, 20, 20, m_main.hwnd, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(child, nullptr);
  struct Case {
    const char* Name;
    HWND Owner;
    bool MainDisabledBefore;
    bool OtherDisabledInside;
    bool MainEnabledAfter;
  } cases[] = {
      {"main window", m_main.hwnd, false, false, true},
      {"control of the main window", child, false, false, true},
      {"another top-level window", other.hwnd, false, true, true},
      {"no owner: the main window", nullptr, false, false, true},
      {"main window disabled already", m_main.hwnd, true, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    EnableWindow(m_main.hwnd, c.MainDisabledBefore ? FALSE : TRUE);
    CProbeDialog dialog;
    bool mainEnabledInside = true;
    bool otherEnabledInside = true;
    RunLater([&] {
      mainEnabledInside = IsWindowEnabled(m_main.hwnd) != FALSE;
      otherEnabledInside = IsWindowEnabled(other.hwnd) != FALSE;
      dialog.EndDialog(4);
    }, 30);
    EXPECT_EQ(RunModal(dialog, kHiddenTemplate, c.Owner), 4);
    EXPECT_FALSE(mainEnabledInside);
    EXPECT_EQ(otherEnabledInside, !c.OtherDisabledInside);
    EXPECT_EQ(IsWindowEnabled(m_main.hwnd) != FALSE, c.MainEnabledAfter);
    EXPECT_TRUE(IsWindowEnabled(other.hwnd));
    EXPECT_TRUE(IsWindowEnabled(child));
  }
  EnableWindow(m_main.hwnd, TRUE);
  other.Destroy();
}

}  // namespace
