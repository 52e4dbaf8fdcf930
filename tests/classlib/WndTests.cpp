// The window core driven with real messages: one object per live window, the current message across
// nested sends, the answer to a handler's exception, the notification mute, reflection to controls and
// subclassing of controls at creation.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Core.h"
#include "Wnd.h"

namespace {

// The test program is its own application; it counts the messages whose handling threw.
class CTestApp : public CWinApp {
 public:
  bool ShowHelp(UINT) override { return false; }
  bool PreTranslateMessage(MSG* message) override { return message->message == kSwallowed; }
  LRESULT OnWndProcException(const std::exception& e, const MSG* failed) override {
    failedMessages.push_back(failed->message);
    return CWinApp::OnWndProcException(e, failed);
  }

  static constexpr UINT kSwallowed = WM_APP + 99;
  std::vector<UINT> failedMessages;
};

CTestApp theApp;

const wchar_t kProbeClass[] = L"WndTestsProbe";
const wchar_t kParentingControlClass[] = L"WndTestsParentingControl";
const wchar_t kPlainClass[] = L"WndTestsPlain";
constexpr UINT kControlAnswerMessage = WM_APP + 5;
constexpr LRESULT kControlAnswer = 55;

struct Notification {
  UINT Message;
  WPARAM WParam;
  LPARAM LParam;
  bool WithResult;
};

// A window object whose messages a test can script, with the reflected notifications and the calls of
// Default it received.
class CProbeWnd : public CWnd {
 public:
  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override {
    seen.push_back(message);
    if (handler) {
      if (std::optional<LRESULT> answer = handler(message, wParam, lParam)) return *answer;
    }
    return CWnd::WindowProc(wnd, message, wParam, lParam);
  }
  bool OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override {
    notifications.push_back({message, wParam, lParam, result != nullptr});
    if (childAnswer && result) *result = childResult;
    return childAnswer;
  }
  LRESULT Default() override {
    defaulted.push_back(theApp.currentMsg.message);
    return CWnd::Default();
  }
  bool CreateChild(HWND parent, UINT id, DWORD style = 0) {
    return Create(0, kProbeClass, L"", WS_CHILD | WS_VISIBLE | style, 0, 0, 20, 20, parent, id);
  }
  int Count(UINT message) const { return int(std::count(seen.begin(), seen.end(), message)); }
  int Defaults(UINT message) const { return int(std::count(defaulted.begin(), defaulted.end(), message)); }

  std::function<std::optional<LRESULT>(UINT, WPARAM, LPARAM)> handler;
  std::vector<UINT> seen;
  std::vector<Notification> notifications;
  bool childAnswer = false;
  LRESULT childResult = 0;
  std::vector<UINT> defaulted;  // the messages Default forwarded
};

// A control class of its own procedure (not ours) that makes a child window while it is created.
LRESULT CALLBACK ParentingControlProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_CREATE) {
    CreateWindowExW(0, kPlainClass, L"inner", WS_CHILD, 0, 0, 5, 5, wnd, HMENU(7), GetModuleHandleW(nullptr),
                    nullptr);
  }
  if (message == kControlAnswerMessage) return kControlAnswer;
  return DefWindowProcW(wnd, message, wParam, lParam);
}

// A window without an object that counts what it is sent.
int g_plainReceived = 0;
LRESULT CALLBACK PlainProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message >= WM_APP) ++g_plainReceived;
  return DefWindowProcW(wnd, message, wParam, lParam);
}

void RegisterClasses() {
  static bool registered = false;
  if (registered) return;
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = HBRUSH(COLOR_WINDOW + 1);
  wc.lpfnWndProc = &CWnd::StaticWndProc;
  wc.lpszClassName = kProbeClass;
  ASSERT_TRUE(RegisterClassExW(&wc));
  wc.lpfnWndProc = &ParentingControlProc;
  wc.lpszClassName = kParentingControlClass;
  ASSERT_TRUE(RegisterClassExW(&wc));
  wc.lpfnWndProc = &PlainProc;
  wc.lpszClassName = kPlainClass;
  ASSERT_TRUE(RegisterClassExW(&wc));
  registered = true;
}

// Runs the thread's queue dry (bounded, so a message that keeps coming back cannot hang the test).
void PumpPending() {
  MSG m;
  for (int i = 0; i < 200 && PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE); ++i) {
    TranslateMessage(&m);
    DispatchMessageW(&m);
  }
}

class WndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_hInstance = g_hResInstance = GetModuleHandleW(nullptr);
    RegisterClasses();
    theApp.failedMessages.clear();
    MuteNotify = nullptr;
    ASSERT_TRUE(top.Create(0, kProbeClass, L"Top", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, nullptr, 0))
        << "no display: run the tests through the project's test command";
  }
  void TearDown() override { MuteNotify = nullptr; }

  CProbeWnd top;
};

// ---- One object per live window ----

TEST_F(WndTest, ObjectIsMappedExactlyWhileItsWindowLives) {
  EXPECT_EQ(theApp.LookupWindow(nullptr), nullptr);
  for (const bool byDestructor : {false, true}) {
    SCOPED_TRACE(byDestructor ? "ended by the destructor" : "ended by Destroy");
    auto child = std::make_unique<CProbeWnd>();
    ASSERT_TRUE(child->CreateChild(top.hwnd, 10));
    const HWND handle = child->hwnd;
    EXPECT_EQ(theApp.LookupWindow(handle), child.get());
    EXPECT_EQ(GetWindowLongPtrW(handle, GWLP_USERDATA), LONG_PTR(child.get()));
    if (byDestructor) {
      child.reset();
    } else {
      child->Destroy();
      EXPECT_EQ(child->hwnd, nullptr);
    }
    EXPECT_FALSE(IsWindow(handle));
    EXPECT_EQ(theApp.LookupWindow(handle), nullptr);
  }
}

// A child whose window dies with its parent must not keep the handle: Windows may hand it to a new window,
// which the child's Destroy or destructor would then destroy.
TEST_F(WndTest, ChildDyingWithItsParentLeavesItsObjectHandleLess) {
  CProbeWnd child;
  CSubclassedWnd edit;
  ASSERT_TRUE(child.CreateChild(top.hwnd, 10));
  ASSERT_TRUE(edit.Create(0, L"EDIT", L"", WS_CHILD, 0, 0, 50, 20, top.hwnd, 11));
  const HWND childHandle = child.hwnd;
  const HWND editHandle = edit.hwnd;
  ASSERT_NE(edit.savedProc, nullptr);

  top.Destroy();

  EXPECT_FALSE(IsWindow(childHandle));
  EXPECT_EQ(child.hwnd, nullptr);
  EXPECT_EQ(edit.hwnd, nullptr);
  EXPECT_EQ(theApp.LookupWindow(childHandle), nullptr);
  EXPECT_EQ(theApp.LookupWindow(editHandle), nullptr);
  EXPECT_EQ(child.Count(WM_NCDESTROY), 1);
}

// ---- A handler's exception ----

TEST_F(WndTest, ThrowingCreateLeavesNoWindow) {
  CProbeWnd child;
  HWND madeHandle = nullptr;
  child.handler = [&](UINT message, WPARAM, LPARAM) -> std::optional<LRESULT> {
    if (message == WM_NCCREATE) madeHandle = child.hwnd;
    if (message == WM_CREATE) throw std::runtime_error("refused");
    return std::nullopt;
  };
  EXPECT_FALSE(child.CreateChild(top.hwnd, 10));
  EXPECT_EQ(child.hwnd, nullptr);
  ASSERT_NE(madeHandle, nullptr);
  EXPECT_FALSE(IsWindow(madeHandle));
  EXPECT_EQ(theApp.LookupWindow(madeHandle), nullptr);
  EXPECT_EQ(GetWindow(top.hwnd, GW_CHILD), nullptr);
  EXPECT_EQ(theApp.failedMessages, std::vector<UINT>{WM_CREATE});
}

TEST_F(WndTest, ThrowingPaintIsAnsweredOnce) {
  ShowWindow(top.hwnd, SW_SHOWNOACTIVATE);
  UpdateWindow(top.hwnd);
  PumpPending();
  top.handler = [](UINT message, WPARAM, LPARAM) -> std::optional<LRESULT> {
    if (message == WM_PAINT) throw std::runtime_error("no paint");
    return std::nullopt;
  };
  const int paintsBefore = top.Count(WM_PAINT);
  InvalidateRect(top.hwnd, nullptr, FALSE);
  PumpPending();
  PumpPending();
  EXPECT_EQ(top.Count(WM_PAINT) - paintsBefore, 1);
  EXPECT_EQ(theApp.failedMessages, std::vector<UINT>{WM_PAINT});
  EXPECT_FALSE(GetUpdateRect(top.hwnd, nullptr, FALSE));
}

TEST_F(WndTest, OtherThrowingMessagesAnswerZero) {
  top.handler = [](UINT message, WPARAM, LPARAM) -> std::optional<LRESULT> {
    if (message == WM_APP) throw std::logic_error("bad");
    return std::nullopt;
  };
  EXPECT_EQ(SendMessageW(top.hwnd, WM_APP, 0, 0), 0);
  EXPECT_EQ(theApp.failedMessages, std::vector<UINT>{WM_APP});
  EXPECT_TRUE(IsWindow(top.hwnd));
}

// ---- The current message ----

TEST_F(WndTest, NestedSendKeepsTheOuterCurrentMessage) {
  CProbeWnd other;
  ASSERT_TRUE(other.CreateChild(top.hwnd, 10));
  MSG insideInner{};
  other.handler = [&](UINT message, WPARAM, LPARAM) -> std::optional<LRESULT> {
    if (message != WM_APP + 2) return std::nullopt;
    insideInner = theApp.currentMsg;
    throw std::runtime_error("inner fails");  // answered inside, the outer message must still come back
  };
  MSG afterInner{};
  top.handler = [&](UINT message, WPARAM, LPARAM) -> std::optional<LRESULT> {
    if (message != WM_GETTEXTLENGTH) return std::nullopt;
    SendMessageW(other.hwnd, WM_APP + 2, 22, 33);
    afterInner = theApp.currentMsg;
    return top.Default();  // forwards the outer message: the title's length
  };
  theApp.currentMsg = MSG{nullptr, WM_NULL, 1, 2, 4321, {5, 6}};

  EXPECT_EQ(SendMessageW(top.hwnd, WM_GETTEXTLENGTH, 0, 0), 3);

  EXPECT_EQ(insideInner.hwnd, other.hwnd);
  EXPECT_EQ(insideInner.message, UINT(WM_APP + 2));
  EXPECT_EQ(insideInner.wParam, WPARAM(22));
  EXPECT_EQ(insideInner.lParam, LPARAM(33));
  EXPECT_EQ(insideInner.time, DWORD(4321)) << "time and point keep their old values";
  EXPECT_EQ(afterInner.hwnd, top.hwnd);
  EXPECT_EQ(afterInner.message, UINT(WM_GETTEXTLENGTH));
  EXPECT_EQ(theApp.currentMsg.message, UINT(WM_NULL)) << "the message before the send comes back";
  EXPECT_EQ(theApp.currentMsg.wParam, WPARAM(1));
  EXPECT_EQ(theApp.currentMsg.lParam, LPARAM(2));
}

// ---- The notification mute ----

struct MuteCase {
  const char* Name;
  int Initial;  // 0 nothing muted, 1 the top window, 2 another window
  int Muted;    // 1 the top window, 2 another window
  int During, After;
};

TEST_F(WndTest, MuteScopesSetAndRestoreTheMutedWindow) {
  CProbeWnd other;
  ASSERT_TRUE(other.CreateChild(top.hwnd, 10));
  const HWND windows[] = {nullptr, top.hwnd, other.hwnd};
  const MuteCase cases[] = {
      {"mute from nothing", 0, 1, 1, 0},
      {"same window again (nested)", 1, 1, 1, 1},
      {"another window inside a mute", 1, 2, 2, 1},
      {"back to the outer after the inner", 2, 1, 1, 2},
  };
  for (const MuteCase& c : cases) {
    SCOPED_TRACE(c.Name);
    MuteNotify = windows[c.Initial];
    {
      CMuteNotifyScope mute(windows[c.Muted]);
      EXPECT_EQ(MuteNotify, windows[c.During]);
    }
    EXPECT_EQ(MuteNotify, windows[c.After]);
  }
}

TEST_F(WndTest, MutedWindowIgnoresCommandAndNotifyUntilRestored) {
  CProbeWnd control;
  ASSERT_TRUE(control.CreateChild(top.hwnd, 10));
  control.childAnswer = true;
  control.childResult = 7;
  NMHDR header{control.hwnd, 10, NM_CLICK};
  auto command = [&] { return SendMessageW(top.hwnd, WM_COMMAND, MAKEWPARAM(10, BN_CLICKED), LPARAM(control.hwnd)); };
  auto notify = [&] { return SendMessageW(top.hwnd, WM_NOTIFY, 10, LPARAM(&header)); };
  control.notifications.clear();  // its own WM_PARENTNOTIFY at creation

  {
    CMuteNotifyScope outer(top.hwnd);
    {
      CMuteNotifyScope inner(top.hwnd);
    }
    EXPECT_EQ(command(), 1) << "a muted WM_COMMAND is answered 1";
    EXPECT_EQ(notify(), 0) << "a muted WM_NOTIFY gets Default's answer";
    EXPECT_TRUE(control.notifications.empty()) << "nested muting by the same window keeps it muted";
    EXPECT_EQ(top.Defaults(WM_COMMAND), 0);
    EXPECT_EQ(top.Defaults(WM_NOTIFY), 1);
    {
      CMuteNotifyScope another(control.hwnd);
      EXPECT_EQ(command(), 1);
      EXPECT_EQ(control.notifications.size(), 1u) << "only one window is muted at a time";
    }
    control.notifications.clear();
  }
  EXPECT_EQ(command(), 1);
  EXPECT_EQ(notify(), 7);
  ASSERT_EQ(control.notifications.size(), 2u);
  EXPECT_EQ(control.notifications[0].Message, UINT(WM_COMMAND));
  EXPECT_EQ(control.notifications[1].Message, UINT(WM_NOTIFY));
}

// ---- Reflection ----

enum class Target { Control, Grandchild, NoObject };

struct ReflectCase {
  const char* Name;
  UINT Message;
  UINT CtlType;    // owner-draw messages
  bool Answers;    // what the control's OnChildNotify returns
  LRESULT Result;  // what it stores in the result when it gets a pointer
  Target Notified;
  bool WithResult;
  LRESULT Answer;  // the parent's answer
  int Defaults;    // the parent's calls of Default
};

TEST_F(WndTest, ParentReflectsNotificationsToTheControlsObject) {
  const ReflectCase cases[] = {
      {"command handled", WM_COMMAND, 0, true, 0, Target::Control, false, 1, 0},
      {"command not handled", WM_COMMAND, 0, false, 0, Target::Control, false, 0, 1},
      {"command of a window without object", WM_COMMAND, 0, true, 0, Target::NoObject, false, 0, 1},
      {"notify handled", WM_NOTIFY, 0, true, 7, Target::Control, true, 7, 0},
      {"notify not handled", WM_NOTIFY, 0, false, 7, Target::Control, true, 0, 1},
      {"notify of a window without object", WM_NOTIFY, 0, true, 7, Target::NoObject, false, 0, 1},
      {"draw item handled", WM_DRAWITEM, ODT_BUTTON, true, 0, Target::Control, false, 0, 0},
      {"draw item not handled", WM_DRAWITEM, ODT_BUTTON, false, 0, Target::Control, false, 0, 1},
      {"delete item", WM_DELETEITEM, ODT_LISTBOX, true, 0, Target::Control, false, 0, 0},
      {"compare item answers as an int", WM_COMPAREITEM, ODT_LISTBOX, true, 0xFFFFFFFF, Target::Control, true, -1, 0},
      {"compare item not handled", WM_COMPAREITEM, ODT_LISTBOX, false, 1, Target::Control, true, 0, 1},
      {"measure item found below a child", WM_MEASUREITEM, ODT_LISTBOX, true, 0, Target::Grandchild, false, 0, 0},
      {"measure item of a menu goes to Default", WM_MEASUREITEM, ODT_MENU, true, 0, Target::NoObject, false, 0, 1},
      {"child created", WM_PARENTNOTIFY, WM_CREATE, true, 0, Target::Control, false, 0, 0},
      {"child destroyed, not handled", WM_PARENTNOTIFY, WM_DESTROY, false, 0, Target::Control, false, 0, 1},
  };
  constexpr UINT kControlId = 10, kGrandchildId = 20;
  CProbeWnd control, grandchild;
  ASSERT_TRUE(control.CreateChild(top.hwnd, kControlId));
  ASSERT_TRUE(grandchild.CreateChild(control.hwnd, kGrandchildId));
  const HWND plain = CreateWindowExW(0, kPlainClass, L"", WS_CHILD, 0, 0, 5, 5, top.hwnd, HMENU(UINT_PTR(30)),
                                     GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(plain, nullptr);

  for (const ReflectCase& c : cases) {
    SCOPED_TRACE(c.Name);
    CProbeWnd* expected = c.Notified == Target::Control ? &control
                          : c.Notified == Target::Grandchild ? &grandchild : nullptr;
    for (CProbeWnd* w : {&control, &grandchild}) {
      w->notifications.clear();
      w->childAnswer = c.Answers;
      w->childResult = c.Result;
    }
    top.defaulted.clear();
    // The sender: the control, or a window that has no object (a menu's "id" names the control's).
    const HWND sender = c.Notified == Target::NoObject ? plain : expected->hwnd;
    const UINT senderId = c.Notified == Target::Grandchild ? kGrandchildId : kControlId;
    NMHDR header{sender, senderId, NM_CLICK};
    DRAWITEMSTRUCT draw{};
    DELETEITEMSTRUCT del{};
    COMPAREITEMSTRUCT compare{};
    MEASUREITEMSTRUCT measure{};
    draw.CtlType = del.CtlType = compare.CtlType = measure.CtlType = c.CtlType;
    draw.CtlID = del.CtlID = compare.CtlID = measure.CtlID = senderId;
    draw.hwndItem = del.hwndItem = compare.hwndItem = sender;
    WPARAM wParam = senderId;
    LPARAM lParam = 0;
    switch (c.Message) {
      case WM_COMMAND: wParam = MAKEWPARAM(senderId, BN_CLICKED); lParam = LPARAM(sender); break;
      case WM_NOTIFY: lParam = LPARAM(&header); break;
      case WM_DRAWITEM: lParam = LPARAM(&draw); break;
      case WM_DELETEITEM: lParam = LPARAM(&del); break;
      case WM_COMPAREITEM: lParam = LPARAM(&compare); break;
      case WM_MEASUREITEM: lParam = LPARAM(&measure); break;
      case WM_PARENTNOTIFY: wParam = MAKEWPARAM(c.CtlType, senderId); lParam = LPARAM(sender); break;
    }

    EXPECT_EQ(SendMessageW(top.hwnd, c.Message, wParam, lParam), c.Answer);

    EXPECT_EQ(top.Defaults(c.Message), c.Defaults);
    for (CProbeWnd* w : {&control, &grandchild}) {
      if (w != expected) {
        EXPECT_TRUE(w->notifications.empty());
        continue;
      }
      ASSERT_EQ(w->notifications.size(), 1u);
      EXPECT_EQ(w->notifications[0].Message, c.Message);
      EXPECT_EQ(w->notifications[0].WParam, wParam);
      EXPECT_EQ(w->notifications[0].LParam, lParam);
      EXPECT_EQ(w->notifications[0].WithResult, c.WithResult);
    }
  }
  DestroyWindow(plain);
}

// ---- Subclassing ----

TEST_F(WndTest, SubclassedControlMakingAChildTakesOverOnlyItself) {
  CSubclassedWnd control;
  ASSERT_TRUE(control.Create(0, kParentingControlClass, L"", WS_CHILD, 0, 0, 50, 50, top.hwnd, 10));

  EXPECT_EQ(GetWindowLongPtrW(control.hwnd, GWLP_WNDPROC), LONG_PTR(&CWnd::StaticWndProc));
  EXPECT_EQ(control.savedProc, &ParentingControlProc);
  EXPECT_EQ(theApp.LookupWindow(control.hwnd), &control);
  const HWND inner = GetDlgItem(control.hwnd, 7);
  ASSERT_NE(inner, nullptr) << "the control made its child while it was created";
  EXPECT_EQ(GetWindowLongPtrW(inner, GWLP_WNDPROC), LONG_PTR(&PlainProc));
  EXPECT_EQ(theApp.LookupWindow(inner), nullptr);
  EXPECT_EQ(SendMessageW(control.hwnd, kControlAnswerMessage, 0, 0), kControlAnswer)
      << "unhandled messages reach the control's own procedure";

  // The hook is gone: a window made after Create keeps its class procedure.
  const HWND later = CreateWindowExW(0, kParentingControlClass, L"", WS_CHILD, 0, 0, 5, 5, top.hwnd, nullptr,
                                     GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(later, nullptr);
  EXPECT_EQ(GetWindowLongPtrW(later, GWLP_WNDPROC), LONG_PTR(&ParentingControlProc));
  DestroyWindow(later);
}

TEST_F(WndTest, SubclassedSystemControlKeepsItsBehaviour) {
  CSubclassedWnd edit;
  ASSERT_TRUE(edit.Create(0, L"EDIT", L"start", WS_CHILD | ES_AUTOHSCROLL, 0, 0, 100, 20, top.hwnd, 10));
  SetWindowTextW(edit.hwnd, L"typed text");
  std::wstring text;
  EXPECT_EQ(edit.GetWindowText(text), 10);
  EXPECT_EQ(text, L"typed text");
  const HWND handle = edit.hwnd;
  edit.Destroy();
  EXPECT_EQ(edit.savedProc, nullptr);
  EXPECT_FALSE(IsWindow(handle));
  EXPECT_EQ(theApp.LookupWindow(handle), nullptr);
}

TEST_F(WndTest, SubclassedCreateFailingLeavesNoHookNorWindow) {
  CSubclassedWnd control;
  EXPECT_FALSE(control.Create(0, L"WndTestsNoSuchClass", L"", WS_CHILD, 0, 0, 5, 5, top.hwnd, 10));
  EXPECT_EQ(control.hwnd, nullptr);
  const HWND next = CreateWindowExW(0, kParentingControlClass, L"", WS_CHILD, 0, 0, 5, 5, top.hwnd, nullptr,
                                    GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(GetWindowLongPtrW(next, GWLP_WNDPROC), LONG_PTR(&ParentingControlProc));
  EXPECT_EQ(control.hwnd, nullptr) << "a later window is not taken over by the failed object";
  EXPECT_EQ(control.savedProc, nullptr);
  DestroyWindow(next);
}

TEST_F(WndTest, AttachTakesOverAnExistingControl) {
  const HWND edit = CreateWindowExW(0, L"EDIT", L"", WS_CHILD, 0, 0, 100, 20, top.hwnd, HMENU(UINT_PTR(40)),
                                    GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(edit, nullptr);
  {
    struct CProbeEdit : CSubclassedWnd {
      LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message == WM_SETTEXT) ++setTexts;
        return CSubclassedWnd::WindowProc(wnd, message, wParam, lParam);
      }
      int setTexts = 0;
    } probe;
    EXPECT_FALSE(probe.Attach(top.hwnd, 41)) << "no such control";
    ASSERT_TRUE(probe.Attach(top.hwnd, 40));
    EXPECT_FALSE(probe.Attach(top.hwnd, 40)) << "a control already held";
    EXPECT_EQ(theApp.LookupWindow(edit), &probe);
    SetWindowTextW(edit, L"abc");
    EXPECT_EQ(probe.setTexts, 1);
    std::wstring text;
    EXPECT_EQ(GetWindowTextString(edit, text), 3);
    EXPECT_EQ(text, L"abc");
  }
  // The object's end destroys the control with its own procedure back in place.
  EXPECT_FALSE(IsWindow(edit));
  EXPECT_EQ(theApp.LookupWindow(edit), nullptr);
}

// ---- Helpers ----

TEST_F(WndTest, SendToDescendantsSkipsWindowsWithoutObjectButNotTheirChildren) {
  const HWND plain = CreateWindowExW(0, kPlainClass, L"", WS_CHILD, 0, 0, 50, 50, top.hwnd, HMENU(UINT_PTR(30)),
                                     GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(plain, nullptr);
  CProbeWnd below, beside;
  ASSERT_TRUE(below.CreateChild(plain, 31));
  ASSERT_TRUE(beside.CreateChild(top.hwnd, 32));
  struct Case {
    bool ThroughObjects;
    int Plain, Below, Beside;
  } cases[] = {{true, 0, 1, 1}, {false, 1, 1, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ThroughObjects ? "through objects" : "by SendMessage");
    g_plainReceived = 0;
    const int belowBefore = below.Count(WM_APP + 7), besideBefore = beside.Count(WM_APP + 7);
    SendToDescendants(top.hwnd, WM_APP + 7, 0, 0, c.ThroughObjects);
    EXPECT_EQ(g_plainReceived, c.Plain);
    EXPECT_EQ(below.Count(WM_APP + 7) - belowBefore, c.Below);
    EXPECT_EQ(beside.Count(WM_APP + 7) - besideBefore, c.Beside);
  }
  DestroyWindow(plain);
}

TEST_F(WndTest, SystemChangesReachDescendantsOnlyFromATopLevelWindow) {
  CProbeWnd child, grandchild;
  ASSERT_TRUE(child.CreateChild(top.hwnd, 10));
  ASSERT_TRUE(grandchild.CreateChild(child.hwnd, 20));
  struct Case {
    UINT Message;
    int Defaults;  // the top window's calls of Default
  } cases[] = {{WM_SYSCOLORCHANGE, 1}, {WM_SETTINGCHANGE, 1}, {WM_DEVMODECHANGE, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Message);
    EXPECT_EQ(SendMessageW(top.hwnd, c.Message, 0, 0), 0);
    EXPECT_EQ(top.Defaults(c.Message), c.Defaults);
    EXPECT_EQ(child.Count(c.Message), 1);
    EXPECT_EQ(grandchild.Count(c.Message), 1);
    EXPECT_EQ(SendMessageW(child.hwnd, c.Message, 0, 0), 0);
    EXPECT_EQ(child.Count(c.Message), 2);
    EXPECT_EQ(grandchild.Count(c.Message), 1) << "a child window passes nothing on";
  }
}

TEST_F(WndTest, FindDescendantByIdWantsAnObject) {
  // top -> plain(30) -> a(40); top -> b(50) -> c(30)
  const HWND plain = CreateWindowExW(0, kPlainClass, L"", WS_CHILD, 0, 0, 50, 50, top.hwnd, HMENU(UINT_PTR(30)),
                                     GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(plain, nullptr);
  CProbeWnd a, b, c;
  ASSERT_TRUE(a.CreateChild(plain, 40));
  ASSERT_TRUE(b.CreateChild(top.hwnd, 50));
  ASSERT_TRUE(c.CreateChild(b.hwnd, 30));
  struct Case {
    UINT Id;
    CWnd* Object;
  } cases[] = {{30, &c}, {40, &a}, {50, &b}, {60, nullptr}};
  for (const Case& row : cases) {
    SCOPED_TRACE(row.Id);
    CWnd* object = nullptr;
    const HWND found = FindDescendantById(top.hwnd, row.Id, &object);
    EXPECT_EQ(object, row.Object);
    EXPECT_EQ(found, row.Object ? row.Object->hwnd : nullptr);
  }
  EXPECT_EQ(GetTopLevelParent(c.hwnd), top.hwnd);
  EXPECT_EQ(GetTopLevelParent(top.hwnd), top.hwnd);
  EXPECT_EQ(GetTopLevelParent(nullptr), nullptr);
  DestroyWindow(plain);
}

TEST_F(WndTest, PumpMessageDispatchesUnlessPreTranslatedAndStopsAtQuit) {
  PumpPending();
  PostMessageW(top.hwnd, WM_APP + 3, 0, 0);
  PostMessageW(top.hwnd, CTestApp::kSwallowed, 0, 0);
  PostQuitMessage(0);
  EXPECT_TRUE(theApp.PumpMessage());
  EXPECT_EQ(top.Count(WM_APP + 3), 1);
  EXPECT_TRUE(theApp.PumpMessage());
  EXPECT_EQ(theApp.msg.message, CTestApp::kSwallowed);
  EXPECT_EQ(top.Count(CTestApp::kSwallowed), 0) << "a message the application takes is not dispatched";
  EXPECT_FALSE(theApp.PumpMessage());
  EXPECT_EQ(theApp.msg.message, UINT(WM_QUIT));
  MSG paint{}, other{};
  paint.message = WM_PAINT;
  other.message = WM_TIMER;
  EXPECT_FALSE(theApp.IsIdleMessage(&paint));
  EXPECT_TRUE(theApp.IsIdleMessage(&other));
}

// A popup menu's loop, with a callback run inside it once the menu shows.
void RunInPopupMenu(HWND owner, void (*inside)()) {
  static void (*s_inside)() = nullptr;
  s_inside = inside;
  HMENU menu = CreatePopupMenu();
  AppendMenuW(menu, MF_STRING, 1, L"Item");
  const UINT_PTR timer = SetTimer(nullptr, 0, 20, [](HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    s_inside();
    EndMenu();
  });
  TrackPopupMenu(menu, TPM_RETURNCMD, 10, 10, 0, owner, nullptr);
  KillTimer(nullptr, timer);
  DestroyMenu(menu);
}

// Only this thread's own menu counts: another program (here another thread with its own input)
// in a menu, even the foreground one, must not keep this thread's menus shut.
TEST(MenuMode, OnlyTheCallingThreadsMenuCounts) {
  HWND own = CreateWindowExW(0, L"Static", L"own", WS_POPUP | WS_VISIBLE, 0, 0, 50, 50, nullptr, nullptr,
                             nullptr, nullptr);
  ASSERT_TRUE(own);
  EXPECT_FALSE(IsInMenuMode());
  static bool s_seenInside;
  s_seenInside = false;
  RunInPopupMenu(own, [] { s_seenInside = IsInMenuMode(); });
  EXPECT_TRUE(s_seenInside) << "inside its own popup menu";
  EXPECT_FALSE(IsInMenuMode());

  static HANDLE s_inMenu, s_checked;
  s_inMenu = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  s_checked = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD otherId = 0;
  HANDLE other = CreateThread(
      nullptr, 0,
      [](void*) -> DWORD {
        HWND wnd = CreateWindowExW(0, L"Static", L"other", WS_POPUP | WS_VISIBLE, 100, 100, 50, 50, nullptr,
                                   nullptr, nullptr, nullptr);
        SetForegroundWindow(wnd);
        RunInPopupMenu(wnd, [] {
          SetEvent(s_inMenu);
          WaitForSingleObject(s_checked, 10000);
        });
        DestroyWindow(wnd);
        return 0;
      },
      nullptr, 0, &otherId);
  ASSERT_TRUE(other);
  ASSERT_EQ(WaitForSingleObject(s_inMenu, 10000), WAIT_OBJECT_0);
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  ASSERT_TRUE(GetGUIThreadInfo(otherId, &info));
  EXPECT_NE(info.flags & (GUI_INMENUMODE | GUI_POPUPMENUMODE), 0u) << "the other thread is in its menu";
  EXPECT_FALSE(IsInMenuMode());
  SetEvent(s_checked);
  EXPECT_EQ(WaitForSingleObject(other, 10000), WAIT_OBJECT_0);
  CloseHandle(other);
  CloseHandle(s_inMenu);
  CloseHandle(s_checked);
  DestroyWindow(own);
}

}  // namespace
