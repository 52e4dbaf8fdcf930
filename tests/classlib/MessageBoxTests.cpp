// Message boxes: the task dialog each MB_ type makes, seen through the scripted seam; the plain message
// box where no task dialog exists; and one real task dialog per language, answered from inside its own
// modal loop by a thread timer.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "ConfigResourceIds.h"
#include "Core.h"
#include "MessageBox.h"
#include "Strings.h"
#include "Wnd.h"
#include "ModalStep.h"

namespace {

constexpr LANGID kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
constexpr LANGID kRussian = MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT);

class CTestApp : public CWinApp {
 public:
  bool ShowHelp(UINT) override { return false; }
  bool PreTranslateMessage(MSG*) override { return false; }
};

CTestApp theApp;

// What the seam saw of one TASKDIALOGCONFIG (its texts copied: they live only for the call).
struct SeenTaskDialog {
  HWND Parent = nullptr;
  HINSTANCE Instance = nullptr;
  DWORD Flags = 0;
  std::wstring Title;
  std::wstring Content;
  std::vector<std::pair<int, std::wstring>> Buttons;
  int DefaultButton = 0;
  PCWSTR MainIcon = nullptr;
  bool HasIconHandle = false;
  std::wstring Verification;  // empty: no check box
  bool VerificationPointerGiven = false;
};

struct Script {
  int Button = IDOK;
  BOOL Verified = FALSE;
  HRESULT Result = S_OK;
};

std::vector<SeenTaskDialog> g_seen;
Script g_script;

std::wstring Copy(PCWSTR text) { return text && !IS_INTRESOURCE(text) ? text : L"<id>"; }

HRESULT WINAPI ScriptedTaskDialog(const TASKDIALOGCONFIG* config, int* button, int* radio, BOOL* verified) {
  SeenTaskDialog seen;
  seen.Parent = config->hwndParent;
  seen.Instance = config->hInstance;
  seen.Flags = config->dwFlags;
  seen.Title = Copy(config->pszWindowTitle);
  seen.Content = Copy(config->pszContent);
  for (UINT i = 0; i < config->cButtons; ++i) {
    seen.Buttons.push_back({config->pButtons[i].nButtonID, Copy(config->pButtons[i].pszButtonText)});
  }
  seen.DefaultButton = config->nDefaultButton;
  seen.MainIcon = (config->dwFlags & TDF_USE_HICON_MAIN) ? nullptr : config->pszMainIcon;
  seen.HasIconHandle = (config->dwFlags & TDF_USE_HICON_MAIN) && config->hMainIcon;
  if (config->pszVerificationText) seen.Verification = Copy(config->pszVerificationText);
  seen.VerificationPointerGiven = verified != nullptr;
  g_seen.push_back(seen);
  if (FAILED(g_script.Result)) return g_script.Result;
  if (button) *button = g_script.Button;
  if (radio) *radio = 0;
  if (verified) *verified = g_script.Verified;
  return S_OK;
}

struct SeenMessageBox {
  HWND Owner;
  std::wstring Text;
  std::wstring Caption;
  UINT Type;
};
std::vector<SeenMessageBox> g_boxes;
int g_boxAnswer = IDOK;

int WINAPI ScriptedMessageBox(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
  g_boxes.push_back({owner, text, caption, type});
  return g_boxAnswer;
}

const wchar_t kMainClass[] = L"MessageBoxTestsMain";

class MessageBoxFixture : public testing::Test {
 protected:
  void SetUp() override {
    g_hInstance = g_hResInstance = GetModuleHandleW(nullptr);
    SetUILanguage(kEnglish);
    static bool registered = false;
    if (!registered) {
      WNDCLASSEXW wc{};
      wc.cbSize = sizeof wc;
      wc.hInstance = GetModuleHandleW(nullptr);
      wc.lpfnWndProc = &CWnd::StaticWndProc;
      wc.lpszClassName = kMainClass;
      ASSERT_TRUE(RegisterClassExW(&wc));
      registered = true;
    }
    ASSERT_TRUE(m_main.Create(0, kMainClass, L"main", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, nullptr, 0));
    theApp.mainWnd = &m_main;
    MessageBoxSeam.TaskDialogIndirect = &ScriptedTaskDialog;
    MessageBoxSeam.MessageBox = &ScriptedMessageBox;
    MessageBoxSeam.NoTaskDialog = false;
    g_seen.clear();
    g_boxes.clear();
    g_script = Script();
    g_boxAnswer = IDOK;
  }
  void TearDown() override {
    MessageBoxSeam = CMessageBoxSeam();
    theApp.mainWnd = nullptr;
    m_main.Destroy();
    SetUILanguage(kEnglish);
  }

  CWnd m_main;
};

using Buttons = std::vector<std::pair<int, std::wstring>>;

TEST_F(MessageBoxFixture, EachTypeMakesItsButtonsIconAndDefault) {
  struct Case {
    UINT Type;
    Buttons Expected;
    int DefaultButton;
    PCWSTR MainIcon;
    bool IconHandle;
  } cases[] = {
      {MB_OK, {{IDOK, L"OK"}}, 0, nullptr, false},
      {MB_OKCANCEL | MB_ICONWARNING, {{IDOK, L"OK"}, {IDCANCEL, L"Cancel"}}, 0, TD_WARNING_ICON, false},
      {MB_YESNOCANCEL | MB_ICONQUESTION | MB_DEFBUTTON3,
       {{IDYES, L"Yes"}, {IDNO, L"No"}, {IDCANCEL, L"Cancel"}}, IDCANCEL, nullptr, true},
      {MB_YESNO | MB_DEFBUTTON2, {{IDYES, L"Yes"}, {IDNO, L"No"}}, IDNO, nullptr, false},
      // A default past the last button leaves the task dialog's own.
      {MB_YESNO | MB_DEFBUTTON3, {{IDYES, L"Yes"}, {IDNO, L"No"}}, 0, nullptr, false},
      {MB_RETRYCANCEL | MB_ICONERROR, {{IDRETRY, L"Retry"}, {IDCANCEL, L"Cancel"}}, 0, TD_ERROR_ICON, false},
      {MB_OK | MB_ICONINFORMATION, {{IDOK, L"OK"}}, 0, TD_INFORMATION_ICON, false},
      {MB_OK | 0x80, {{IDOK, L"OK"}}, 0, TD_SHIELD_ICON, false},
      {MB_ABORTRETRYIGNORE | MB_DEFBUTTON2, {{IDABORT, L"Abort"}, {IDRETRY, L"Retry"}, {IDIGNORE, L"Ignore"}},
       IDRETRY, nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "type 0x" << std::hex << c.Type);
    g_seen.clear();
    g_script.Button = c.Expected.back().first;
    EXPECT_EQ(ShowMessageBox(L"Delete the format?", c.Type), c.Expected.back().first);
    ASSERT_EQ(g_seen.size(), 1u);
    const SeenTaskDialog& seen = g_seen[0];
    EXPECT_EQ(seen.Buttons, c.Expected);
    EXPECT_EQ(seen.DefaultButton, c.DefaultButton);
    EXPECT_EQ(seen.MainIcon, c.MainIcon);
    EXPECT_EQ(seen.HasIconHandle, c.IconHandle);
    EXPECT_EQ(seen.Title, L"Vombra Configurator");
    EXPECT_EQ(seen.Content, L"Delete the format?");
    EXPECT_EQ(seen.Instance, g_hResInstance);
    EXPECT_TRUE(seen.Flags & TDF_POSITION_RELATIVE_TO_WINDOW);
    EXPECT_EQ(seen.Verification, L"");
    EXPECT_FALSE(seen.VerificationPointerGiven);
  }
}

TEST_F(MessageBoxFixture, TextsFollowTheLanguage) {
  struct Case {
    LANGID Language;
    const wchar_t* Title;
    Buttons Expected;
    const wchar_t* Verification;
  } cases[] = {
      {kEnglish, L"Vombra Configurator", {{IDYES, L"Yes"}, {IDNO, L"No"}, {IDCANCEL, L"Cancel"}},
       L"Do not ask"},
      {kRussian, L"Конфигуратор Vombra", {{IDYES, L"Да"}, {IDNO, L"Нет"}, {IDCANCEL, L"Отмена"}},
       L"Больше не спрашивать"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Title);
    SetUILanguage(c.Language);
    g_seen.clear();
    bool doNotAsk = false;
    // A string-table id as the text: the caption's own id gives a text known in both languages.
    ShowMessageBox(MAKEINTRESOURCEW(IDS_APP_CAPTION), MB_YESNOCANCEL, nullptr, &doNotAsk);
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(g_seen[0].Title, c.Title);
    EXPECT_EQ(g_seen[0].Content, c.Title);
    EXPECT_EQ(g_seen[0].Buttons, c.Expected);
    EXPECT_EQ(g_seen[0].Verification, c.Verification);
  }
}

TEST_F(MessageBoxFixture, DoNotAskStartsTickedAsGivenAndReceivesTheBox) {
  struct Case {
    bool In;
    BOOL Ticked;
    HRESULT Result;
    bool CheckedFlag;
    bool Out;
    int Answer;
  } cases[] = {
      {false, FALSE, S_OK, false, false, IDYES},
      {false, TRUE, S_OK, false, true, IDYES},
      {true, FALSE, S_OK, true, false, IDYES},
      {true, TRUE, S_OK, true, true, IDYES},
      // A task dialog that failed shows nothing: the flag keeps its value and the answer is 0.
      {true, FALSE, E_OUTOFMEMORY, true, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "in " << c.In << " ticked " << c.Ticked << " hr " << c.Result);
    g_seen.clear();
    g_script = {IDYES, c.Ticked, c.Result};
    bool doNotAsk = c.In;
    EXPECT_EQ(ShowMessageBox(L"Load?", MB_YESNO, nullptr, &doNotAsk), c.Answer);
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_EQ((g_seen[0].Flags & TDF_VERIFICATION_FLAG_CHECKED) != 0, c.CheckedFlag);
    EXPECT_TRUE(g_seen[0].VerificationPointerGiven);
    EXPECT_EQ(doNotAsk, c.Out);
  }
}

TEST_F(MessageBoxFixture, OwnerDefaultsToTheMainWindow) {
  HWND other = CreateWindowExW(0, kMainClass, L"other", WS_OVERLAPPEDWINDOW, 0, 0, 50, 50, nullptr, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(other, nullptr);
  struct Case {
    HWND Given;
    bool WithMain;
    HWND Expected;
  } cases[] = {
      {nullptr, true, m_main.hwnd},
      {other, true, other},
      {nullptr, false, nullptr},
  };
  for (const Case& c : cases) {
    theApp.mainWnd = c.WithMain ? &m_main : nullptr;
    g_seen.clear();
    g_boxes.clear();
    ShowMessageBox(L"x", MB_OK, c.Given);
    MessageBoxSeam.NoTaskDialog = true;
    ShowMessageBox(L"x", MB_OK, c.Given);
    MessageBoxSeam.NoTaskDialog = false;
    ASSERT_EQ(g_seen.size(), 1u);
    ASSERT_EQ(g_boxes.size(), 1u);
    EXPECT_EQ(g_seen[0].Parent, c.Expected);
    EXPECT_EQ(g_boxes[0].Owner, c.Expected);
  }
  DestroyWindow(other);
}

TEST_F(MessageBoxFixture, WithoutTaskDialogThePlainBoxAsksWithoutTheCheckBox) {
  MessageBoxSeam.NoTaskDialog = true;
  g_boxAnswer = IDNO;
  struct Case {
    LANGID Language;
    const wchar_t* Caption;
  } cases[] = {{kEnglish, L"Vombra Configurator"}, {kRussian, L"Конфигуратор Vombra"}};
  for (const Case& c : cases) {
    SetUILanguage(c.Language);
    g_boxes.clear();
    bool doNotAsk = true;
    EXPECT_EQ(ShowMessageBox(L"Save changes?", MB_YESNO | MB_ICONQUESTION, nullptr, &doNotAsk), IDNO);
    EXPECT_EQ(ShowMessageBoxRes(IDS_DO_NOT_ASK, MB_OK | MB_ICONERROR), IDNO);
    ASSERT_EQ(g_boxes.size(), 2u);
    EXPECT_EQ(g_boxes[0].Text, L"Save changes?");
    EXPECT_EQ(g_boxes[0].Caption, c.Caption);
    EXPECT_EQ(g_boxes[0].Type, UINT(MB_YESNO | MB_ICONQUESTION));
    std::wstring doNotAskText;
    LoadStr(IDS_DO_NOT_ASK, doNotAskText);
    EXPECT_EQ(g_boxes[1].Text, doNotAskText);
    EXPECT_EQ(g_boxes[1].Type, UINT(MB_OK | MB_ICONERROR));
    EXPECT_TRUE(doNotAsk);  // untouched: the plain box has no such box
  }
  EXPECT_TRUE(g_seen.empty());
  // The task dialog alone shows nothing and answers 0.
  EXPECT_EQ(ShowTaskDialog(L"x", MB_OK), 0);
  EXPECT_TRUE(g_seen.empty());
  EXPECT_EQ(g_boxes.size(), 2u);
}

TEST_F(MessageBoxFixture, ResourceTextIsLoadedBeforeShowing) {
  ShowMessageBoxRes(IDS_DO_NOT_ASK, MB_OK);
  ASSERT_EQ(g_seen.size(), 1u);
  EXPECT_EQ(g_seen[0].Content, L"Do not ask");
}

// ---- The real task dialog ----



struct DialogButton {
  HWND Wnd;
  std::wstring Text;
  bool CheckBox;
};

BOOL CALLBACK CollectButtons(HWND wnd, LPARAM list) {
  wchar_t className[16] = L"";
  GetClassNameW(wnd, className, 16);
  if (_wcsicmp(className, L"Button") == 0 && IsWindowVisible(wnd)) {
    std::wstring text;
    GetWindowTextString(wnd, text);
    const LONG kind = GetWindowLongW(wnd, GWL_STYLE) & BS_TYPEMASK;
    reinterpret_cast<std::vector<DialogButton>*>(list)->push_back(
        {wnd, text, kind == BS_AUTOCHECKBOX || kind == BS_CHECKBOX});
  }
  return TRUE;
}

class RealTaskDialogTest : public testing::TestWithParam<LANGID> {
 protected:
  void SetUp() override {
    g_hInstance = g_hResInstance = GetModuleHandleW(nullptr);
    theApp.mainWnd = nullptr;
    MessageBoxSeam = CMessageBoxSeam();
    // As the program does before its first window; it also loads comctl32, where the task dialog is.
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_LINK_CLASS};
    ASSERT_TRUE(InitCommonControlsEx(&controls));
  }
  void TearDown() override { SetUILanguage(kEnglish); }
};

TEST_P(RealTaskDialogTest, ShowsTitleButtonsAndAnUntickedBoxGivesFalse) {
  SetUILanguage(GetParam());
  std::wstring title, yes, no, doNotAskText;
  LoadStr(IDS_APP_CAPTION, title);
  LoadStr(IDS_BUTTON_BASE + IDYES, yes);
  LoadStr(IDS_BUTTON_BASE + IDNO, no);
  LoadStr(IDS_DO_NOT_ASK, doNotAskText);

  std::wstring seenTitle;
  std::vector<std::wstring> seenButtons;
  bool tickedAtStart = false;
  bool untickedShown = false;
  int attempts = 0;
  std::function<void()> answer = [&] {
    HWND dialog = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), &FindVisibleDialog, LPARAM(&dialog));
    if (!dialog) {
      if (++attempts < 100) RunLater(answer, 50);
      return;
    }
    GetWindowTextString(dialog, seenTitle);
    std::vector<DialogButton> buttons;
    EnumChildWindows(dialog, &CollectButtons, LPARAM(&buttons));
    HWND noButton = nullptr;
    for (const DialogButton& b : buttons) {
      if (b.CheckBox) {
        tickedAtStart = SendMessageW(b.Wnd, BM_GETCHECK, 0, 0) == BST_CHECKED;
        // Wine's check box ignores BM_CLICK inside the task dialog; the task dialog's own message unticks it.
        SendMessageW(dialog, TDM_CLICK_VERIFICATION, FALSE, FALSE);
        untickedShown = SendMessageW(b.Wnd, BM_GETCHECK, 0, 0) == BST_UNCHECKED;
      }
      seenButtons.push_back(b.Text);
      if (b.Text == no) noButton = b.Wnd;
    }
    if (noButton) {
      SendMessageW(noButton, BM_CLICK, 0, 0);
    } else {
      SendMessageW(dialog, TDM_CLICK_BUTTON, IDCANCEL, 0);
    }
  };
  RunLater(answer, 50);
  bool doNotAsk = true;
  const int pressed = ShowMessageBox(L"Save changes?", MB_YESNO | MB_ICONQUESTION, nullptr, &doNotAsk);
  g_step = nullptr;
  EXPECT_EQ(pressed, IDNO);
  EXPECT_EQ(seenTitle, title);
  EXPECT_NE(std::find(seenButtons.begin(), seenButtons.end(), yes), seenButtons.end());
  EXPECT_NE(std::find(seenButtons.begin(), seenButtons.end(), no), seenButtons.end());
  EXPECT_NE(std::find(seenButtons.begin(), seenButtons.end(), doNotAskText), seenButtons.end());
  EXPECT_TRUE(tickedAtStart);
  EXPECT_TRUE(untickedShown);
  EXPECT_FALSE(doNotAsk);
}

INSTANTIATE_TEST_SUITE_P(Languages, RealTaskDialogTest, testing::Values(kEnglish, kRussian));

}  // namespace
